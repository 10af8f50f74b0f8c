// Superposition of a lattice walk on a target, in lattice units.
#include "tarvex/search/superpose.hpp"

namespace tarvex::search {

Target make_target(std::span<const Point> model, double scale) {
  Target t;
  const std::size_t n = model.size();
  if (n == 0) return t;
  Point c{0, 0, 0};
  for (const Point& p : model) c = {c.x + p.x, c.y + p.y, c.z + p.z};
  c = {c.x / double(n), c.y / double(n), c.z / double(n)};
  t.points.reserve(n);
  for (const Point& p : model) {
    const Point q{(p.x - c.x) / scale, (p.y - c.y) / scale, (p.z - c.z) / scale};
    t.points.push_back(q);
    t.norm += (q.x * q.x + q.y * q.y) + q.z * q.z;
  }
  return t;
}

Superposition superpose(std::span<const LatticePoint> walk, const Target& target) {
  const std::size_t n = walk.size();
  // Integer sums are exact; the centroid is the only rounding before h.
  long long sx = 0, sy = 0, sz = 0;
  for (const LatticePoint& p : walk) sx += p.x, sy += p.y, sz += p.z;
  const Point c{double(sx) / double(n), double(sy) / double(n), double(sz) / double(n)};
  Mat3 h{};
  for (std::size_t i = 0; i < n; ++i) {
    const double a[3] = {walk[i].x - c.x, walk[i].y - c.y, walk[i].z - c.z};
    const Point& b = target.points[i];
    const double bb[3] = {b.x, b.y, b.z};
    for (int r = 0; r < 3; ++r)
      for (int k = 0; k < 3; ++k) h[r][k] += a[r] * bb[k];
  }
  Superposition s{proper_rotation(h), c, 0};
  const Mat3& r = s.rotation;
  for (std::size_t i = 0; i < n; ++i) {
    const Point& b = target.points[i];
    const double dx = r[0][0] * b.x + r[0][1] * b.y + r[0][2] * b.z + c.x - walk[i].x;
    const double dy = r[1][0] * b.x + r[1][1] * b.y + r[1][2] * b.z + c.y - walk[i].y;
    const double dz = r[2][0] * b.x + r[2][1] * b.y + r[2][2] * b.z + c.z - walk[i].z;
    s.residual += (dx * dx + dy * dy) + dz * dz;
  }
  return s;
}

void place_target(const Target& target, const Mat3& r, Point offset, std::vector<Point>& u) {
  u.resize(target.points.size());
  for (std::size_t i = 0; i < u.size(); ++i) {
    const Point& b = target.points[i];
    u[i] = {r[0][0] * b.x + r[0][1] * b.y + r[0][2] * b.z + offset.x,
            r[1][0] * b.x + r[1][1] * b.y + r[1][2] * b.z + offset.y,
            r[2][0] * b.x + r[2][1] * b.y + r[2][2] * b.z + offset.z};
  }
}

}  // namespace tarvex::search
