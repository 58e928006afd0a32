// The named scenes the emulated kit and the tests can ask for.
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>

#include "scene/scene.h"

namespace Quorvan {
namespace emulation {

namespace {

constexpr double kDegree = 3.14159265358979323846 / 180.0;

// Reads parameters with defaults and remembers the first problem.
class ParameterReader {
public:
    ParameterReader(const std::string& scene, const SceneParameters& parameters)
        : scene_(scene), parameters_(parameters) {}

    double get(const std::string& key, double fallback, double low, double high) {
        known_.insert(key);
        const auto found = parameters_.find(key);
        if (found == parameters_.end())
            return fallback;
        if (!(found->second >= low && found->second <= high)) {
            fail("scene '" + scene_ + "' parameter " + key + " must lie in [" + number(low) + ", " +
                 number(high) + "]");
            return fallback;
        }
        return found->second;
    }

    // Call after every get: refuses parameters the scene does not know.
    bool ok(std::string* error) {
        for (const auto& entry : parameters_) {
            if (!known_.count(entry.first))
                fail("scene '" + scene_ + "' has no parameter " + entry.first);
        }
        if (!problem_.empty() && error)
            *error = problem_;
        return problem_.empty();
    }

private:
    static std::string number(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%g", value);
        return text;
    }
    void fail(const std::string& message) {
        if (problem_.empty())
            problem_ = message;
    }

    std::string scene_;
    const SceneParameters& parameters_;
    std::set<std::string> known_;
    std::string problem_;
};

// Camera 0.7 m above the floor, which rises slowly away from it; walls on
// both sides and behind keep every distance below 3.8 m. Dark objects sit
// close and bright ones far so the whole room fits the sensor's range of
// amplitudes without saturating.
std::unique_ptr<Scene> makeDefaultScene(ParameterReader& reader) {
    const double wall_m = reader.get("wall_distance_mm", 3000.0, 1500.0, 3200.0) / 1000.0;
    const double tilt = reader.get("floor_tilt_deg", 6.0, 0.0, 20.0) * kDegree;

    auto scene = std::make_unique<Scene>();
    scene->addPlane({0.0, 0.7, 0.0}, {0.0, -std::cos(tilt), -std::sin(tilt)},
                    Pattern{0.55, 0.30, 0.4});
    scene->addPlane({0.0, 0.0, wall_m}, {0.0, 0.0, -1.0}, Pattern{0.90, 0.60, 0.3});
    scene->addPlane({-1.4, 0.0, 0.0}, {1.0, 0.0, 0.0}, Pattern{0.70, 0.70, 0.0});
    scene->addPlane({1.5, 0.0, 0.0}, {-1.0, 0.0, 0.0}, Pattern{0.50, 0.50, 0.0});
    // A ball in front on the left, a crate on the floor on the right, a
    // pillar before the wall and a small dark object right in front of the lens.
    scene->addSphere({-0.45, 0.25, 1.4}, 0.3, 0.45);
    scene->addBox({0.35, 0.0, 2.0}, {0.95, 0.6, 2.5}, 0.40);
    scene->addBox({-0.15, -2.0, wall_m - 0.45}, {0.15, 0.8, wall_m - 0.3}, 0.75);
    scene->addSphere({0.2, -0.1, 0.28}, 0.05, 0.03);
    return scene;
}

std::unique_ptr<Scene> makeWallScene(ParameterReader& reader) {
    const double distance_m = reader.get("distance_mm", 1500.0, 100.0, 20000.0) / 1000.0;
    const double reflectivity = reader.get("reflectivity", 0.8, 0.0, 1.0);
    const double tilt = reader.get("tilt_deg", 0.0, -60.0, 60.0) * kDegree;
    auto scene = std::make_unique<Scene>();
    scene->addPlane({0.0, 0.0, distance_m}, {std::sin(tilt), 0.0, -std::cos(tilt)},
                    Pattern{reflectivity, reflectivity, 0.0});
    return scene;
}

using SceneBuilder = std::function<std::unique_ptr<Scene>(ParameterReader&)>;

const std::vector<std::pair<std::string, SceneBuilder>>& catalogue() {
    static const std::vector<std::pair<std::string, SceneBuilder>> scenes = {
        {"default", makeDefaultScene},
        {"wall", makeWallScene},
    };
    return scenes;
}

}  // namespace

std::unique_ptr<Scene> makeScene(const std::string& name, const SceneParameters& parameters,
                                 std::string* error) {
    for (const auto& entry : catalogue()) {
        if (entry.first != name)
            continue;
        ParameterReader reader(name, parameters);
        auto scene = entry.second(reader);
        return reader.ok(error) ? std::move(scene) : nullptr;
    }
    if (error)
        *error = "unknown scene '" + name + "'";
    return nullptr;
}

std::vector<std::string> sceneNames() {
    std::vector<std::string> names;
    for (const auto& entry : catalogue())
        names.push_back(entry.first);
    return names;
}

}  // namespace emulation
}  // namespace Quorvan
