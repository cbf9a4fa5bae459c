// The README's provider, compiled as C++17.
#include "provider.c"  // NOLINT(bugprone-suspicious-include): the C example itself, compiled as C++
