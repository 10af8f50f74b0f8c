// The pivot chain on a saw-tree: a balanced tree of sub-walks with bounding boxes (Clisby, J. Stat. Phys. 2010).
#include "tarvex/walks/saw_tree.hpp"

#include <algorithm>
#include <array>

#include "tarvex/fail.hpp"

namespace tarvex {

namespace {

// Per code, which of a box's six numbers each number of its image is.
constexpr auto kBoxGather = [] {
  std::array<std::array<std::uint8_t, 6>, kSignedPermutations> out{};
  for (std::size_t c = 0; c < kSignedPermutations; ++c) {
    const detail::Action& a = detail::kActions[c];
    for (std::size_t r = 0; r < 3; ++r) {
      const bool flip = a.negate[r] != 0;
      out[c][r] = std::uint8_t(a.axis[r] + (flip ? 3 : 0));
      out[c][r + 3] = std::uint8_t(a.axis[r] + (flip ? 0 : 3));
    }
  }
  return out;
}();

// The box of a sub-walk placed by (sym, offset), from its anchor-relative box.
void place(const std::int32_t (&box)[6], SignedPermutation sym, LatticePoint o, std::int32_t (&out)[6]) {
  const auto& g = kBoxGather[sym];
  out[0] = box[g[0]] + o.x;
  out[1] = box[g[1]] + o.y;
  out[2] = box[g[2]] + o.z;
  out[3] = box[g[3]] - o.x;
  out[4] = box[g[4]] - o.y;
  out[5] = box[g[5]] - o.z;
}

// Boxes in the six-number form share no point when, along some axis, one's
// lo exceeds the other's hi.
// Six comparisons without branches between them.
bool apart(const std::int32_t (&a)[6], const std::int32_t (&b)[6]) {
  return (unsigned(a[0] + b[3] > 0) | unsigned(a[1] + b[4] > 0) | unsigned(a[2] + b[5] > 0) |
          unsigned(b[0] + a[3] > 0) | unsigned(b[1] + a[4] > 0) | unsigned(b[2] + a[5] > 0)) != 0;
}

}  // namespace

SawTree::SawTree(std::span<const LatticePoint> walk) {
  const auto n = std::int32_t(walk.size());
  if (n < 2) fail("a saw-tree needs two points, not {}", n);
  nodes_.resize(std::size_t(2 * n - 1));
  for (std::int32_t i = 0; i < n; ++i) {
    const LatticePoint step = i == 0 ? walk[0] : walk[std::size_t(i)] - walk[std::size_t(i - 1)];
    nodes_[std::size_t(i)] = Node{{step.x, step.y, step.z, -step.x, -step.y, -step.z}, step, {0, 0, 0}, -1, -1, 1, 0};
  }
  next_ = n;
  root_ = build(0, n);
  // The tree is at most `height` deep: each pair waiting in the clash test is
  // a step down one of two subtrees.
  std::size_t height = 1;
  while ((std::size_t{1} << height) < std::size_t(n)) ++height;
  path_.reserve(height + 1);
  staying_.resize(height + 1);
  moving_.resize(height + 1);
  pending_.resize(2 * height + 2);
  descent_.resize(height + 1);
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
  Node* nodes = nodes_.data();
  Node& p = nodes[node];
  const Node& a = nodes[p.left];
  const Node& b = nodes[p.right];
  const LatticePoint e = a.end;
  std::int32_t placed[6];
  place(b.box, p.sym, e, placed);
  const LatticePoint end = e + act(p.sym, b.end);
  p.count = a.count + b.count;
  p.end = end;
  p.split = e;
  for (std::size_t k = 0; k < 6; ++k) p.box[k] = std::min(a.box[k], placed[k]);
}

bool SawTree::try_pivot(std::size_t site, SignedPermutation g) {
  // Down to the node that splits the walk after `site`, cutting off the whole
  // subtrees on either side, each placed in the walk's coordinates.
  const Node* nodes = nodes_.data();
  path_.clear();
  Piece* staying = staying_.data();
  Piece* moving = moving_.data();
  std::size_t ns = 0, nm = 0;
  std::int32_t node = root_;
  Frame f{0, {0, 0, 0}};
  auto k = std::int32_t(site + 1);
  for (;;) {
    path_.push_back(node);
    const Node& p = nodes[node];
    const Node& left = nodes[p.left];
    const Frame right{compose(f.sym, p.sym), f.offset + act(f.sym, p.split)};
    if (k == left.count) {
      staying[ns++] = {p.left, f, {}};
      moving[nm++] = {p.right, right, {}};
      break;
    }
    if (k < left.count) {
      moving[nm++] = {p.right, right, {}};
      node = p.left;
    } else {
      staying[ns++] = {p.left, f, {}};
      k -= left.count;
      node = p.right;
      f = right;
    }
  }
  // The pivot is the staying side's last point; the moving side turns by g
  // about it.
  const LatticePoint pivot = f.offset + act(f.sym, nodes[node].split);
  for (std::size_t i = 0; i < ns; ++i) {
    place(nodes[staying[i].node].box, staying[i].frame.sym, staying[i].frame.offset, staying[i].box);
  }
  for (std::size_t i = 0; i < nm; ++i) {
    Piece& piece = moving[i];
    piece.frame = Frame{compose(g, piece.frame.sym), pivot + act(g, piece.frame.offset - pivot)};
    place(nodes[piece.node].box, piece.frame.sym, piece.frame.offset, piece.box);
  }

  // Pairs nearest the pivot first: the pieces were cut from the top down, so
  // the nearest are last.
  for (std::size_t sum = 0; sum + 2 <= ns + nm; ++sum) {
    for (std::size_t i = sum + 1 > nm ? sum + 1 - nm : 0; i <= std::min(sum, ns - 1); ++i) {
      const Piece& a = staying[ns - 1 - i];
      const Piece& b = moving[nm - 1 - (sum - i)];
      if (apart(a.box, b.box)) continue;
      const SignedPermutation back = inverse_of(a.frame.sym);
      if (clash(a.node, b.node, Frame{compose(back, b.frame.sym), act(back, b.frame.offset - a.frame.offset)})) {
        return false;
      }
    }
  }

  // The moving part is the right child of every path node whose left child
  // holds the pivot, and of the last one. A right child placed by frame
  // symmetry s moves by g when its own symmetry becomes s^-1 g s times the
  // old one.
  const std::size_t depth = path_.size() - 1;
  SignedPermutation frame = 0, conjugated = g;
  for (std::size_t i = 0; i <= depth; ++i) {
    Node& p = nodes_[std::size_t(path_[i])];
    if (i == depth || path_[i + 1] == p.left) {
      p.sym = compose(conjugated, p.sym);
    } else {
      frame = compose(frame, p.sym);
      conjugated = compose(inverse_of(frame), compose(g, frame));
    }
  }
  for (std::size_t i = depth + 1; i-- > 0;) merge(path_[i]);
  return true;
}

// Whether sub-walks a and b share a point, b's anchor-relative coordinates
// reading b_in_a in a's. The larger one is split, the halves nearer the
// pivot tested first: the left part's end and the right part's start are
// where clashes mostly are.
bool SawTree::clash(std::int32_t a, std::int32_t b, Frame b_in_a) {
  const Node* nodes = nodes_.data();
  Pair* pending = pending_.data();
  std::size_t waiting = 0;
  for (;;) {
    const Node& na = nodes[a];
    const Node& nb = nodes[b];
    const LatticePoint o = b_in_a.offset;
    std::int32_t placed[6];
    place(nb.box, b_in_a.sym, o, placed);
    if (!apart(na.box, placed)) {
      // Two single points whose boxes meet are the same point.
      if (na.count == 1 && nb.count == 1) return true;
      if (na.count >= nb.count) {
        // a's right child reads a's coordinates through (end of left) + sym.
        const SignedPermutation back = inverse_of(na.sym);
        pending[waiting++] = {na.left, b, b_in_a};
        a = na.right;
        b_in_a = Frame{compose(back, b_in_a.sym), act(back, o - na.split)};
      } else {
        pending[waiting++] = {a, nb.right, Frame{compose(b_in_a.sym, nb.sym), o + act(b_in_a.sym, nb.split)}};
        b = nb.left;
      }
      continue;
    }
    if (waiting == 0) return false;
    const Pair next = pending[--waiting];
    a = next.a;
    b = next.b;
    b_in_a = next.b_in_a;
  }
}

// Each point is the previous one plus its leaf's step turned by the leaf's
// frame, so the descent carries symmetries only.
void SawTree::write(LatticeWalk& out) const {
  const Node* nodes = nodes_.data();
  out.resize(std::size_t(nodes[root_].count));
  LatticePoint* at = out.data();
  LatticePoint point{0, 0, 0};
  Descent* stack = descent_.data();
  std::size_t waiting = 0;
  std::int32_t node = root_;
  SignedPermutation sym = 0;
  for (;;) {
    const Node& p = nodes[node];
    if (p.count != 1) {
      stack[waiting++] = {p.right, compose(sym, p.sym)};
      node = p.left;
      continue;
    }
    point = point + act(sym, p.end);
    *at++ = point;
    if (waiting == 0) return;
    --waiting;
    node = stack[waiting].node;
    sym = stack[waiting].sym;
  }
}

}  // namespace tarvex
