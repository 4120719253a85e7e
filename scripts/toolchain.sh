# Sourced by the scripts that need clang (the fuzzers, and setup installing them): the one place that
# names its version. Override with AE_CLANG_VERSION=N.
AE_CLANG_VERSION=${AE_CLANG_VERSION:-14}
