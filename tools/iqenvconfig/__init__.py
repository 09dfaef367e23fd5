"""iqenv's configuration file: reading, checking, designing, analysing and plotting it."""
