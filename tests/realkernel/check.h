// A small check harness for the programs that run inside the test VM: each
// check is counted, a failed one prints where and why, and the program ends
// with "TALLY <passed> <failed>" for the VM's init to sum. GoogleTest would
// do, but these programs are linked statically and run from an initramfs
// with nothing else in it; a harness this size keeps them small.
#pragma once

#include <cstdio>
#include <string>

namespace Quorvan::realkernel {

struct Tally {
    int passed = 0;
    int failed = 0;
};

Tally& tally();

inline bool record(bool ok, const char* file, int line, const std::string& what) {
    if (ok) {
        ++tally().passed;
    } else {
        ++tally().failed;
        std::printf("FAIL %s:%d: %s\n", file, line, what.c_str());
        std::fflush(stdout);
    }
    return ok;
}

// Context printed with every failure until the scope ends.
class Scope {
public:
    explicit Scope(std::string name);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
};

std::string currentScope();

}  // namespace Quorvan::realkernel

#define RK_CHECK(condition)                                                         \
    ::Quorvan::realkernel::record(static_cast<bool>(condition), __FILE__, __LINE__, \
                                  ::Quorvan::realkernel::currentScope() + #condition)

#define RK_CHECK_EQ(actual, expected)                                                   \
    [&](const auto& a, const auto& e) {                                                 \
        return ::Quorvan::realkernel::record(                                           \
            a == e, __FILE__, __LINE__,                                                 \
            ::Quorvan::realkernel::currentScope() + #actual " == " #expected " (got " + \
                std::to_string(static_cast<long long>(a)) + ", wanted " +               \
                std::to_string(static_cast<long long>(e)) + ")");                       \
    }((actual), (expected))
