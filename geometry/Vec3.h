#pragma once
// Small 3-vector value type shared by geometry, voxelization, the model and the scene.

#include <cmath>

namespace ostrel {

template <typename T>
struct Vec3 {
    T x{}, y{}, z{};

    constexpr Vec3() = default;
    constexpr Vec3(T x_, T y_, T z_) : x(x_), y(y_), z(z_) {}
    template <typename U>
    constexpr explicit Vec3(const Vec3<U>& v) : x(T(v.x)), y(T(v.y)), z(T(v.z)) {}

    constexpr T& operator[](int i) { return i == 0 ? x : i == 1 ? y : z; }
    constexpr const T& operator[](int i) const { return i == 0 ? x : i == 1 ? y : z; }

    constexpr Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
    constexpr Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
    constexpr Vec3 operator-() const { return {-x, -y, -z}; }
    constexpr Vec3 operator*(T s) const { return {x * s, y * s, z * s}; }
    constexpr Vec3 operator/(T s) const { return {x / s, y / s, z / s}; }
    constexpr Vec3& operator+=(const Vec3& o) { return *this = *this + o; }
    constexpr Vec3& operator-=(const Vec3& o) { return *this = *this - o; }
    constexpr Vec3& operator*=(T s) { return *this = *this * s; }
    constexpr bool operator==(const Vec3& o) const = default;
};

using Vec3f = Vec3<float>;
using Vec3d = Vec3<double>;
using Vec3i = Vec3<int>;

template <typename T>
constexpr Vec3<T> operator*(T s, const Vec3<T>& v) { return v * s; }
template <typename T>
constexpr T dot(const Vec3<T>& a, const Vec3<T>& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
template <typename T>
constexpr Vec3<T> cross(const Vec3<T>& a, const Vec3<T>& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
template <typename T>
T length(const Vec3<T>& v) { return std::sqrt(dot(v, v)); }
/// Component-wise product.
template <typename T>
constexpr Vec3<T> mul(const Vec3<T>& a, const Vec3<T>& b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }

}  // namespace ostrel
