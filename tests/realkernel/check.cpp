#include "check.h"

#include <cstring>
#include <vector>

#include "realkernel_checks.h"

namespace Quorvan::realkernel {

namespace {
std::vector<std::string>& scopes() {
    static std::vector<std::string> names;
    return names;
}
}  // namespace

Tally& tally() {
    static Tally counts;
    return counts;
}

Scope::Scope(std::string name) {
    scopes().push_back(std::move(name));
}

Scope::~Scope() {
    scopes().pop_back();
}

std::string currentScope() {
    std::string text;
    for (const std::string& name : scopes())
        text += "[" + name + "] ";
    return text;
}

}  // namespace Quorvan::realkernel

int main(int argc, char** argv) {
    using namespace Quorvan::realkernel;
    const char* suite = argc > 1 ? argv[1] : "";
    const char* node = argc > 2 ? argv[2] : "";
    // Each suite runs the same checks on every passing run: no check sits in
    // a loop whose length depends on timing or on what the driver races.
    // The VM's init compares the count with the plan, so a suite that loses
    // a section (an early return, a crash, a hang) fails even when every
    // check it did run passed. Change a plan together with its suite.
    struct Suite {
        const char* name;
        void (*run)(const char* node);
        int planned_checks;
    };
    const Suite suites[] = {{"i2c", runI2cChecks, 37},
                            {"stream", runStreamingChecks, 80},
                            {"faults", runFaultChecks, 53},
                            {"unplug", runUnplugChecks, 17},
                            {"fresh", runFreshOpenChecks, 20},
                            {"camera", runCameraChecks, 19},
                            {"reconnect", runReconnectChecks, 64},
                            {"capture-node", runCaptureNodeChecks, 394}};
    bool known = false;
    for (const Suite& candidate : suites) {
        if (std::strcmp(candidate.name, suite) == 0) {
            std::printf("PLAN %d\n", candidate.planned_checks);
            std::fflush(stdout);
            candidate.run(node);
            known = true;
        }
    }
    if (!known) {
        std::printf("PLAN 1\n");
        record(false, __FILE__, __LINE__, std::string("no check suite named ") + suite);
    }
    std::printf("TALLY %d %d\n", tally().passed, tally().failed);
    return tally().failed == 0 ? 0 : 1;
}
