// Synthetic scenes for the emulated cameras and the tests: a few analytic
// surfaces seen through a pinhole camera, rendered as the true radial
// distance and the reflectivity of every pixel.
//
//   #include "scene/scene.h"
//
//   auto scene = makeScene("default", {}, &error);
//   PinholeCamera camera = PinholeCamera::withHorizontalFov(240, 180, kDefaultHorizontalFovDeg);
//   GroundTruth truth = renderGroundTruth(*scene, camera);
//   // truth.distance_mm[row * 240 + column]
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Quorvan {
namespace emulation {

struct Vec3 {
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
};

inline Vec3 operator+(Vec3 a, Vec3 b) {
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline Vec3 operator-(Vec3 a, Vec3 b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline Vec3 operator*(Vec3 a, double s) {
    return {a.x * s, a.y * s, a.z * s};
}
inline double dot(Vec3 a, Vec3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec3 normalized(Vec3 v);

// Camera coordinates in metres: x to the right, y down, z along the optical
// axis, camera centre at the origin.
struct Ray {
    Vec3 origin;
    Vec3 direction;  // unit length
};

class PinholeCamera {
public:
    PinholeCamera(int width, int height, double focal_x, double focal_y, double centre_x,
                  double centre_y);
    // Square pixels, principal point in the middle of the image.
    static PinholeCamera withHorizontalFov(int width, int height, double horizontal_fov_deg);

    int width() const { return width_; }
    int height() const { return height_; }
    // The ray through the centre of pixel (column, row).
    Ray rayThroughPixel(int column, int row) const;

private:
    int width_;
    int height_;
    double focal_x_;
    double focal_y_;
    double centre_x_;
    double centre_y_;
};

constexpr double kDefaultHorizontalFovDeg = 70.0;

// What a ray meets first.
struct SurfaceHit {
    double distance_m = 0.0;     // along the ray
    double reflectivity = 0.0;   // 0..1, diffuse
    double cos_incidence = 0.0;  // between the ray and the surface normal, 0..1
};

class Surface {
public:
    virtual ~Surface() = default;
    // True when the ray meets the surface at a distance in (0, *distance_m);
    // then *distance_m and *hit are updated.
    virtual bool intersect(const Ray& ray, double* distance_m, SurfaceHit* hit) const = 0;
};

// Reflectivity that alternates between two values on a square grid (metres),
// so planes show texture in the amplitude image. cell_m <= 0 means uniform.
struct Pattern {
    double reflectivity = 0.5;
    double alternate_reflectivity = 0.5;
    double cell_m = 0.0;
};

class Scene {
public:
    void addPlane(Vec3 point, Vec3 normal, Pattern pattern);
    void addSphere(Vec3 centre, double radius_m, double reflectivity);
    // Axis-aligned box between two corners.
    void addBox(Vec3 min_corner, Vec3 max_corner, double reflectivity);

    // Nearest surface along the ray; false when the ray escapes the scene.
    bool trace(const Ray& ray, SurfaceHit* hit) const;
    std::size_t surfaceCount() const { return surfaces_.size(); }

private:
    std::vector<std::unique_ptr<Surface>> surfaces_;
};

// Named numeric parameters of a scene, e.g. {"wall_distance_mm", 3000}.
using SceneParameters = std::map<std::string, double>;

// Scenes by name:
//   "default": a room seen from 0.7 m above a slightly tilted floor: a
//              tiled floor, a striped back wall, a side wall and a few
//              objects between 0.3 and 3.8 m. Parameters: wall_distance_mm
//              (back wall, default 3000), floor_tilt_deg (default 6).
//   "wall":    one plane facing the camera. Parameters: distance_mm
//              (default 1500), reflectivity (default 0.8), tilt_deg
//              (rotation about the vertical axis, default 0).
// Returns null and sets *error (when given) for an unknown name, an unknown
// parameter or a value out of range.
std::unique_ptr<Scene> makeScene(const std::string& name, const SceneParameters& parameters,
                                 std::string* error);
std::vector<std::string> sceneNames();

// Per pixel, row-major: the true radial distance from the camera centre in
// millimetres (0 where no surface was hit), the reflectivity and the cosine
// of the angle of incidence.
struct GroundTruth {
    int width = 0;
    int height = 0;
    std::vector<float> distance_mm;
    std::vector<float> reflectivity;
    std::vector<float> cos_incidence;
};

GroundTruth renderGroundTruth(const Scene& scene, const PinholeCamera& camera);

// A named scene as a kit of `width` x `height` pixels sees it through its
// default optics (kDefaultHorizontalFovDeg); an empty truth (width 0) when
// makeScene refuses the name or the parameters.
GroundTruth renderSceneView(const std::string& name, const SceneParameters& parameters, int width,
                            int height);

}  // namespace emulation
}  // namespace Quorvan
