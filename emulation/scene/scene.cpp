#include "scene/scene.h"

#include <algorithm>
#include <cmath>

namespace Quorvan {
namespace emulation {

Vec3 normalized(Vec3 v) {
    const double length = std::sqrt(dot(v, v));
    return length > 0.0 ? v * (1.0 / length) : v;
}

PinholeCamera::PinholeCamera(int width, int height, double focal_x, double focal_y, double centre_x,
                             double centre_y)
    : width_(width),
      height_(height),
      focal_x_(focal_x),
      focal_y_(focal_y),
      centre_x_(centre_x),
      centre_y_(centre_y) {}

PinholeCamera PinholeCamera::withHorizontalFov(int width, int height, double horizontal_fov_deg) {
    const double half_angle = horizontal_fov_deg * 3.14159265358979323846 / 360.0;
    const double focal = 0.5 * width / std::tan(half_angle);
    return PinholeCamera(width, height, focal, focal, 0.5 * width, 0.5 * height);
}

Ray PinholeCamera::rayThroughPixel(int column, int row) const {
    const Vec3 direction{(column + 0.5 - centre_x_) / focal_x_, (row + 0.5 - centre_y_) / focal_y_,
                         1.0};
    return Ray{Vec3{}, normalized(direction)};
}

namespace {

// Angle between the ray and the surface normal, whichever side was hit.
double cosIncidence(const Ray& ray, Vec3 normal) {
    return std::min(1.0, std::fabs(dot(ray.direction, normal)));
}

class PlaneSurface : public Surface {
public:
    PlaneSurface(Vec3 point, Vec3 normal, Pattern pattern)
        : point_(point), normal_(normalized(normal)), pattern_(pattern) {
        // Any two directions spanning the plane index the pattern's grid.
        const Vec3 helper = std::fabs(normal_.y) < 0.9 ? Vec3{0, 1, 0} : Vec3{1, 0, 0};
        tangent_u_ = normalized(cross(helper, normal_));
        tangent_v_ = cross(normal_, tangent_u_);
    }

    bool intersect(const Ray& ray, double* distance_m, SurfaceHit* hit) const override {
        const double facing = dot(ray.direction, normal_);
        if (std::fabs(facing) < 1e-12)
            return false;
        const double t = dot(point_ - ray.origin, normal_) / facing;
        if (t <= 0.0 || t >= *distance_m)
            return false;
        *distance_m = t;
        const Vec3 local = ray.origin + ray.direction * t - point_;
        hit->distance_m = t;
        hit->reflectivity = reflectivityAt(dot(local, tangent_u_), dot(local, tangent_v_));
        hit->cos_incidence = cosIncidence(ray, normal_);
        return true;
    }

private:
    static Vec3 cross(Vec3 a, Vec3 b) {
        return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
    }

    double reflectivityAt(double u, double v) const {
        if (pattern_.cell_m <= 0.0)
            return pattern_.reflectivity;
        const long cell_u = static_cast<long>(std::floor(u / pattern_.cell_m));
        const long cell_v = static_cast<long>(std::floor(v / pattern_.cell_m));
        return ((cell_u + cell_v) & 1) ? pattern_.alternate_reflectivity : pattern_.reflectivity;
    }

    Vec3 point_;
    Vec3 normal_;
    Pattern pattern_;
    Vec3 tangent_u_;
    Vec3 tangent_v_;
};

class SphereSurface : public Surface {
public:
    SphereSurface(Vec3 centre, double radius_m, double reflectivity)
        : centre_(centre), radius_m_(radius_m), reflectivity_(reflectivity) {}

    bool intersect(const Ray& ray, double* distance_m, SurfaceHit* hit) const override {
        const Vec3 to_centre = centre_ - ray.origin;
        const double along = dot(to_centre, ray.direction);
        const double miss_squared = dot(to_centre, to_centre) - along * along;
        const double radius_squared = radius_m_ * radius_m_;
        if (miss_squared > radius_squared)
            return false;
        const double half_chord = std::sqrt(radius_squared - miss_squared);
        double t = along - half_chord;
        if (t <= 0.0)
            t = along + half_chord;
        if (t <= 0.0 || t >= *distance_m)
            return false;
        *distance_m = t;
        const Vec3 normal = normalized(ray.origin + ray.direction * t - centre_);
        hit->distance_m = t;
        hit->reflectivity = reflectivity_;
        hit->cos_incidence = cosIncidence(ray, normal);
        return true;
    }

private:
    Vec3 centre_;
    double radius_m_;
    double reflectivity_;
};

class BoxSurface : public Surface {
public:
    BoxSurface(Vec3 min_corner, Vec3 max_corner, double reflectivity)
        : min_(min_corner), max_(max_corner), reflectivity_(reflectivity) {}

    bool intersect(const Ray& ray, double* distance_m, SurfaceHit* hit) const override {
        // Slab test; remember which axis the entry face belongs to for its normal.
        const double origin[3] = {ray.origin.x, ray.origin.y, ray.origin.z};
        const double direction[3] = {ray.direction.x, ray.direction.y, ray.direction.z};
        const double low[3] = {min_.x, min_.y, min_.z};
        const double high[3] = {max_.x, max_.y, max_.z};
        double t_enter = 0.0;
        double t_exit = *distance_m;
        int enter_axis = -1;
        for (int axis = 0; axis < 3; ++axis) {
            if (std::fabs(direction[axis]) < 1e-12) {
                if (origin[axis] < low[axis] || origin[axis] > high[axis])
                    return false;
                continue;
            }
            double t0 = (low[axis] - origin[axis]) / direction[axis];
            double t1 = (high[axis] - origin[axis]) / direction[axis];
            if (t0 > t1)
                std::swap(t0, t1);
            if (t0 > t_enter) {
                t_enter = t0;
                enter_axis = axis;
            }
            t_exit = std::min(t_exit, t1);
            if (t_enter > t_exit)
                return false;
        }
        // A camera inside the box sees nothing of it.
        if (enter_axis < 0 || t_enter <= 0.0 || t_enter >= *distance_m)
            return false;
        Vec3 normal;
        (enter_axis == 0 ? normal.x : enter_axis == 1 ? normal.y : normal.z) = 1.0;
        *distance_m = t_enter;
        hit->distance_m = t_enter;
        hit->reflectivity = reflectivity_;
        hit->cos_incidence = cosIncidence(ray, normal);
        return true;
    }

private:
    Vec3 min_;
    Vec3 max_;
    double reflectivity_;
};

}  // namespace

void Scene::addPlane(Vec3 point, Vec3 normal, Pattern pattern) {
    surfaces_.push_back(std::make_unique<PlaneSurface>(point, normal, pattern));
}

void Scene::addSphere(Vec3 centre, double radius_m, double reflectivity) {
    surfaces_.push_back(std::make_unique<SphereSurface>(centre, radius_m, reflectivity));
}

void Scene::addBox(Vec3 min_corner, Vec3 max_corner, double reflectivity) {
    surfaces_.push_back(std::make_unique<BoxSurface>(min_corner, max_corner, reflectivity));
}

bool Scene::trace(const Ray& ray, SurfaceHit* hit) const {
    double nearest = HUGE_VAL;
    bool found = false;
    for (const auto& surface : surfaces_)
        found = surface->intersect(ray, &nearest, hit) || found;
    return found;
}

GroundTruth renderGroundTruth(const Scene& scene, const PinholeCamera& camera) {
    GroundTruth truth;
    truth.width = camera.width();
    truth.height = camera.height();
    const std::size_t pixels = static_cast<std::size_t>(truth.width) * truth.height;
    truth.distance_mm.assign(pixels, 0.0f);
    truth.reflectivity.assign(pixels, 0.0f);
    truth.cos_incidence.assign(pixels, 0.0f);
    for (int row = 0; row < truth.height; ++row) {
        for (int column = 0; column < truth.width; ++column) {
            SurfaceHit hit;
            if (!scene.trace(camera.rayThroughPixel(column, row), &hit))
                continue;
            const std::size_t i = static_cast<std::size_t>(row) * truth.width + column;
            truth.distance_mm[i] = static_cast<float>(hit.distance_m * 1000.0);
            truth.reflectivity[i] = static_cast<float>(hit.reflectivity);
            truth.cos_incidence[i] = static_cast<float>(hit.cos_incidence);
        }
    }
    return truth;
}

GroundTruth renderSceneView(const std::string& name, const SceneParameters& parameters, int width,
                            int height) {
    const auto scene = makeScene(name, parameters, nullptr);
    if (!scene)
        return {};
    return renderGroundTruth(
        *scene, PinholeCamera::withHorizontalFov(width, height, kDefaultHorizontalFovDeg));
}

}  // namespace emulation
}  // namespace Quorvan
