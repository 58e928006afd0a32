// Marks what the shared libraries export. The library is built with hidden
// visibility, so only declarations carrying QUORVAN_API (the public C++ API
// and the C functions) are part of its dynamic symbol table; everything else
// stays internal and free to change between releases.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUORVAN_API __attribute__((visibility("default")))
#else
#define QUORVAN_API
#endif
