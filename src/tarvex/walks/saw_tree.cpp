// The pivot chain on a saw-tree: a balanced tree of sub-walks with bounding boxes (Clisby, J. Stat. Phys. 2010).
#include "tarvex/walks/saw_tree.hpp"

#include <algorithm>

#include "tarvex/fail.hpp"

namespace tarvex {

namespace {

LatticePoint min_of(LatticePoint a, LatticePoint b) {
  return {std::min(a.x, b.x), std::min(a.y, b.y), std::min(a.z, b.z)};
}
LatticePoint max_of(LatticePoint a, LatticePoint b) {
  return {std::max(a.x, b.x), std::max(a.y, b.y), std::max(a.z, b.z)};
}
bool disjoint(const Box& a, const Box& b) {
  return a.hi.x < b.lo.x || b.hi.x < a.lo.x || a.hi.y < b.lo.y || b.hi.y < a.lo.y || a.hi.z < b.lo.z ||
         b.hi.z < a.lo.z;
}

}  // namespace

SawTree::SawTree(std::span<const LatticePoint> walk) {
  const auto n = std::int32_t(walk.size());
  if (n < 2) fail("a saw-tree needs two points, not {}", n);
  nodes_.resize(std::size_t(2 * n - 1));
  for (std::int32_t i = 0; i < n; ++i) {
    const LatticePoint step = i == 0 ? walk[0] : walk[std::size_t(i)] - walk[std::size_t(i - 1)];
    nodes_[std::size_t(i)] = Node{step, Box{step, step}, -1, -1, 1, 0};
  }
  next_ = n;
  root_ = build(0, n);
}

std::int32_t SawTree::build(std::int32_t first, std::int32_t last) {
  if (last - first == 1) return first;
  const std::int32_t middle = first + (last - first) / 2;
  const std::int32_t left = build(first, middle), right = build(middle, last);
  const std::int32_t node = next_++;
  nodes_[std::size_t(node)].left = left;
  nodes_[std::size_t(node)].right = right;
  nodes_[std::size_t(node)].sym = 0;
  merge(node);
  return node;
}

void SawTree::merge(std::int32_t node) {
  Node& p = nodes_[std::size_t(node)];
  const Node& a = nodes_[std::size_t(p.left)];
  const Node& b = nodes_[std::size_t(p.right)];
  p.count = a.count + b.count;
  p.end = a.end + act(p.sym, b.end);
  const Box moved = act(p.sym, b.box);
  p.box = Box{min_of(a.box.lo, moved.lo + a.end), max_of(a.box.hi, moved.hi + a.end)};
}

// (LL, LR) R  ->  LL (LR, R), keeping the node's slot on top and reusing the
// old left child's slot for the new right child.
void SawTree::rotate_right(std::int32_t node) {
  Node& p = nodes_[std::size_t(node)];
  const std::int32_t l = p.left;
  Node& c = nodes_[std::size_t(l)];
  const std::int32_t ll = c.left, lr = c.right, r = p.right;
  const SignedPermutation sp = p.sym, sl = c.sym;
  c.left = lr;
  c.right = r;
  c.sym = compose(inverse_of(sl), sp);
  merge(l);
  p.left = ll;
  p.right = l;
  p.sym = sl;
  merge(node);
}

// L (RL, RR)  ->  (L, RL) RR, the inverse of rotate_right.
void SawTree::rotate_left(std::int32_t node) {
  Node& p = nodes_[std::size_t(node)];
  const std::int32_t r = p.right;
  Node& c = nodes_[std::size_t(r)];
  const std::int32_t l = p.left, rl = c.left, rr = c.right;
  const SignedPermutation sp = p.sym, sr = c.sym;
  c.left = l;
  c.right = rl;
  c.sym = sp;
  merge(r);
  p.left = r;
  p.right = rr;
  p.sym = compose(sp, sr);
  merge(node);
}

bool SawTree::try_pivot(std::size_t site, SignedPermutation g) {
  // Bring the split after `site` to the root: the rotations are chosen top
  // down and done bottom up, then undone top down.
  path_.clear();
  std::int32_t node = root_;
  auto k = std::int32_t(site + 1);
  for (;;) {
    const Node& p = nodes_[std::size_t(node)];
    const std::int32_t left = nodes_[std::size_t(p.left)].count;
    if (k == left) break;
    if (k < left) {
      path_.push_back({node, true});
      node = p.left;
    } else {
      path_.push_back({node, false});
      k -= left;
      node = p.right;
    }
  }
  for (auto it = path_.rbegin(); it != path_.rend(); ++it) it->right ? rotate_right(it->node) : rotate_left(it->node);

  Node& root = nodes_[std::size_t(root_)];
  const SignedPermutation moved = compose(g, root.sym);
  const bool accepted =
      !clash(root.left, Frame{0, {0, 0, 0}}, root.right, Frame{moved, nodes_[std::size_t(root.left)].end});
  if (accepted) {
    root.sym = moved;
    merge(root_);
  }

  for (const Rotation& r : path_) r.right ? rotate_left(r.node) : rotate_right(r.node);
  return accepted;
}

// Whether sub-walk a placed by fa and sub-walk b placed by fb share a point.
// The larger one is split, the halves nearer the pivot tested first: the
// left part's end and the right part's start are where clashes mostly are.
bool SawTree::clash(std::int32_t a, Frame fa, std::int32_t b, Frame fb) const {
  const Node& na = nodes_[std::size_t(a)];
  const Node& nb = nodes_[std::size_t(b)];
  Box ba = act(fa.sym, na.box), bb = act(fb.sym, nb.box);
  ba = {ba.lo + fa.offset, ba.hi + fa.offset};
  bb = {bb.lo + fb.offset, bb.hi + fb.offset};
  if (disjoint(ba, bb)) return false;
  // Two single points whose boxes meet are the same point.
  if (na.count == 1 && nb.count == 1) return true;
  if (na.count >= nb.count) {
    const Frame right{compose(fa.sym, na.sym), fa.offset + act(fa.sym, nodes_[std::size_t(na.left)].end)};
    return clash(na.right, right, b, fb) || clash(na.left, fa, b, fb);
  }
  const Frame right{compose(fb.sym, nb.sym), fb.offset + act(fb.sym, nodes_[std::size_t(nb.left)].end)};
  return clash(a, fa, nb.left, fb) || clash(a, fa, nb.right, right);
}

void SawTree::write(LatticeWalk& out) const {
  out.resize(std::size_t(nodes_[std::size_t(root_)].count));
  LatticePoint* at = out.data();
  write(root_, Frame{0, {0, 0, 0}}, at);
}

void SawTree::write(std::int32_t node, Frame f, LatticePoint*& out) const {
  const Node& p = nodes_[std::size_t(node)];
  if (p.count == 1) {
    *out++ = act(f.sym, p.end) + f.offset;
    return;
  }
  write(p.left, f, out);
  write(p.right, Frame{compose(f.sym, p.sym), f.offset + act(f.sym, nodes_[std::size_t(p.left)].end)}, out);
}

}  // namespace tarvex
