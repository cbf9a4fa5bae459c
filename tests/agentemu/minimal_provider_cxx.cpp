// The README's provider, compiled as C++17.
#include "provider.c"
