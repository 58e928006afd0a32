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
    struct Suite {
        const char* name;
        void (*run)(const char* node);
    };
    const Suite suites[] = {{"i2c", runI2cChecks},
                            {"stream", runStreamingChecks},
                            {"faults", runFaultChecks},
                            {"unplug", runUnplugChecks},
                            {"fresh", runFreshOpenChecks},
                            {"camera", runCameraChecks},
                            {"capture-node", runCaptureNodeChecks}};
    bool known = false;
    for (const Suite& candidate : suites) {
        if (std::strcmp(candidate.name, suite) == 0) {
            candidate.run(node);
            known = true;
        }
    }
    if (!known)
        record(false, __FILE__, __LINE__, std::string("no check suite named ") + suite);
    std::printf("TALLY %d %d\n", tally().passed, tally().failed);
    return tally().failed == 0 ? 0 : 1;
}
