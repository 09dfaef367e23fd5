// iqenv-facts: writes, as JSON, the facts of iqenv that iqenv-config needs, taken from iqenv's
// own code at build time so that the two programs never hold two copies of them: the rates
// accepted and the decimation at each, the decimator's half-bands, the cosine table's longest
// period, and the configuration messages and report as templates ({name} where a value goes).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "config.h"
#include "signal/decimator.h"
#include "signal/envelope.h"
#include "signal/oscillator.h"
#include "signal/resampler.h"

namespace {

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The message a call throws; the build fails if it throws none.
std::string refusalOf(const std::function<void()>& call) {
    std::string message;
    try {
        call();
    } catch (const std::runtime_error& e) {
        message = e.what();
    }
    if (message.empty()) throw std::logic_error("a call that must refuse did not");
    return message;
}

// `text` with each value replaced by its {name}; each value must occur exactly once.
std::string templateOf(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
        const size_t at = text.find(value);
        if (at == std::string::npos || text.find(value, at + 1) != std::string::npos)
            throw std::logic_error("not exactly one '" + value + "' in: " + text);
        text.replace(at, value.size(), "{" + name + "}");
    }
    return text;
}

std::string configBytes(uint32_t samplerate, uint32_t count, uint32_t present) {
    std::string bytes(12 + 8 * size_t{present}, '\0');
    const float frequency = 0.0f;
    std::memcpy(&bytes[0], &frequency, 4);
    std::memcpy(&bytes[4], &samplerate, 4);
    std::memcpy(&bytes[8], &count, 4);
    return bytes;
}

std::string readRefusal(const std::string& bytes) {
    std::istringstream in(bytes, std::ios::binary);
    return refusalOf([&] { readConfig(&in); });
}

std::map<std::string, std::string> messages() {
    const SamplerateRange range = supportedSamplerates();
    const std::map<std::string, std::string> limits = {{"lowest", std::to_string(range.lo)},
                                                       {"highest", std::to_string(range.hi)}};
    FilterConfig runnable;
    runnable.samplerate = output_rate;
    runnable.taps.assign(778, {1.0f, 0.0f});
    std::map<std::string, std::string> out;
    const std::string path = "/nonexistent-iqenv-facts/config-file.cfg";
    out["cannot_open"] = templateOf(refusalOf([&] { openConfigFile(path); }), {{"path", path}});
    const std::string header = configBytes(output_rate, 1000, 777);
    out["short_frequency"] = readRefusal(header.substr(0, 3));
    out["short_samplerate"] = readRefusal(header.substr(0, 7));
    out["short_count"] = readRefusal(header.substr(0, 11));
    out["short_tap"] = templateOf(readRefusal(header), {{"index", "777"}});
    FilterConfig c = runnable;
    c.taps.clear();
    out["no_taps"] = refusalOf([&] { checkConfig(c); });
    c = runnable;
    c.samplerate = range.lo > 13 ? 13 : range.hi + 1;  // any refused rate
    std::map<std::string, std::string> rate = limits;
    rate["samplerate"] = std::to_string(c.samplerate);
    out["samplerate"] = templateOf(refusalOf([&] { checkConfig(c); }), rate);
    c = runnable;
    c.frequency = std::numeric_limits<float>::quiet_NaN();
    out["frequency"] = refusalOf([&] { checkConfig(c); });
    c = runnable;
    c.taps[777] = {0.0f, std::numeric_limits<float>::infinity()};
    out["tap"] = templateOf(refusalOf([&] { checkConfig(c); }), {{"index", "777"}});
    return out;
}

// The four-line report, its values as {frequency_mhz}, {samplerate} and {num_taps}.
std::string reportTemplate() {
    FilterConfig c;
    c.frequency = 1.25e6f;
    c.samplerate = 123457;
    c.num_taps = 98765;
    std::ostringstream text;
    std::streambuf* const saved = std::cerr.rdbuf(text.rdbuf());
    printConfig(c);
    std::cerr.rdbuf(saved);
    return templateOf(text.str(),
                      {{"frequency_mhz", "1.25"}, {"samplerate", "123457"}, {"num_taps", "98765"}});
}

// (first rate, decimationFor there) for each run of rates with the same result, in order:
// 0 below the lowest rate and above the highest, 1 where the resampler takes the rate itself.
std::vector<std::pair<uint64_t, uint32_t>> decimationSteps() {
    // Ordered as the rate grows: refused low rates, then 1, 2, 4, ..., then refused high ones.
    const auto key = [](uint64_t rate) -> uint64_t {
        const uint32_t d = decimationFor(static_cast<uint32_t>(rate));
        return d != 0 ? d : rate < output_rate ? 0 : std::numeric_limits<uint64_t>::max();
    };
    constexpr uint64_t end = uint64_t{UINT32_MAX} + 1;
    std::vector<std::pair<uint64_t, uint32_t>> steps;
    for (uint64_t from = 0; from < end;) {
        steps.emplace_back(from, decimationFor(static_cast<uint32_t>(from)));
        const uint64_t here = key(from);
        uint64_t lo = from, hi = end;  // key(lo) == here; the next step lies in (lo, hi]
        while (hi - lo > 1) {
            const uint64_t mid = lo + (hi - lo) / 2;
            (key(mid) == here ? lo : hi) = mid;
        }
        from = hi;
    }
    return steps;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "Usage: iqenv-facts OUTPUT.json\n";
        return 2;
    }
    try {
        std::ostringstream json;
        json << "{\n  \"output_rate\": " << output_rate << ",\n  \"output_gain\": "
             << number(output_gain) << ",\n  \"converter\": {\"type\": " << converter_type
             << ", \"channels\": " << converter_channels << "},\n";
        const SamplerateRange range = supportedSamplerates();
        json << "  \"samplerates\": {\"lowest\": " << range.lo << ", \"highest\": " << range.hi
             << "},\n  \"decimation_steps\": [";
        const char* separator = "";
        for (const auto& [from, factor] : decimationSteps()) {
            json << separator << "[" << from << ", " << factor << "]";
            separator = ", ";
        }
        json << "],\n  \"decimator\": {\"half_bands\": [";
        separator = "\n      ";
        for (const HalfBandDesign& design : halfBandDesigns()) {
            json << separator << "{\"min_rate\": " << number(design.min_rate) << ", \"weights\": [";
            for (size_t k = 0; k < design.filter.pairs; ++k)
                json << (k ? ", " : "") << number(design.filter.weights[k]);
            json << "]}";
            separator = ",\n      ";
        }
        json << "]},\n  \"cosine_table_period\": " << max_cosine_table_period
             << ",\n  \"report\": " << quoted(reportTemplate()) << ",\n  \"messages\": {";
        separator = "\n    ";
        for (const auto& [name, text] : messages()) {
            json << separator << quoted(name) << ": " << quoted(text);
            separator = ",\n    ";
        }
        json << "\n  }\n}\n";
        std::ofstream out(argv[1], std::ios::binary);
        out << json.str();
        out.close();
        if (!out) throw std::runtime_error(std::string("Cannot write ") + argv[1]);
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
