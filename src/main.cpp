// iqenv: complex IQ samples in, amplitude envelope at 24000 samples per second out.
#include <unistd.h>

#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>

#include "config.h"
#include "signal/demodulator.h"
#include "signal/fir_filter.h"
#include "version.h"

FilterConfig cfg;
FIRFilter fir;

namespace {

const char* const usage_line = "Usage: iqenv CONFIG_FILE";
const char* const summary_line =
    "Filters complex float32 IQ samples from standard input and writes their amplitude "
    "envelope at 24000 samples per second as float32 to standard output.";

void printHelp() {
    std::cout
        << usage_line << "\n\n"
        << summary_line << "\n\n"
        << "Standard input:  interleaved float32 pairs (real, imaginary), little-endian,\n"
        << "                 read in blocks of 256 samples; a partial last block is dropped.\n"
        << "Standard output: one float32 per output sample, mono, 24000 per second:\n"
        << "                 (magnitude - running mean of all magnitudes) * 10000;\n"
        << "                 a file or a pipe, never a terminal.\n"
        << "CONFIG_FILE:     float32 frequency (Hz), uint32 sample rate (samples/s),\n"
        << "                 uint32 tap count N, then N complex float32 taps (real, imag),\n"
        << "                 all little-endian. The report goes to standard error.\n\n"
        << "Options:\n"
        << "  -h, --help     show this help and exit\n"
        << "      --version  show the version and exit\n\n"
        << "Exit status: 0 on success, 1 on a failure at run time, 2 on a usage error.\n\n"
        << "iqenv-config finds the signals in a recording (scan), designs CONFIG_FILE for one\n"
        << "(design), shows and plots what it does (show, plot), and turns iqenv's output into\n"
        << "pulses and bits for rtl_433 (pulses). See iqenv(1).\n";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        printHelp();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "iqenv " << iqenv_version << "\n";
        return 0;
    }
    if (argc != 2) {
        std::cerr << usage_line << "\n" << summary_line << "\n";
        return 2;
    }
    // Binary values on a terminal help no one and can upset it; refusing is a usage error, so
    // it comes before the configuration is read, like the other usage checks.
    if (isatty(STDOUT_FILENO)) {
        std::cerr << "Error: Standard output is a terminal; redirect it to a file or a pipe\n";
        return 2;
    }

    try {
        std::ifstream file = openConfigFile(argv[1]);
        cfg = readConfig(&file);
        file.close();  // before the report

        printConfig(cfg);
        checkConfig(cfg);
        return runDemodulator();
    } catch (const std::exception& e) {
        std::cerr << "Error: " << e.what() << "\n";
        return 1;
    }
}
