// The four-axis solver: projection of a desired vector onto a box and up to four
// coupled rows, in single precision. Three stages: a quick exit when the clamped
// desired vector already meets every row, a bounded cyclic projection for a
// feasible start, and a primal active-set iteration on the normal equations.
// Every loop has a fixed bound and all storage is on the stack.
//
// The file reads top down: the C entry, the solve driver, the active-set loop
// and its steps, then the helpers they name.
#include "multivar_4d.h"

#include <cmath>
#include <cstdint>

#include "morvex/core.h"
#include "scalar_projection.h"

namespace morvex::core::multivar4d {
namespace {

// The caller's records, read once; `rows` (at most 4) is the only row count.
struct Problem {
    float d[4];
    float lo[4];
    float hi[4];
    float a[4][4];
    float b[4];
    int rows;
};

struct Outcome {
    SolveStatus status;
    float u[4];
    std::uint64_t iterations;
};

Outcome solve(const Problem& pb, const float x0[4]);
Outcome early_exit(SolveStatus status, const float x0[4]);
void clamp_into_box(const Problem& pb, const float v[4], float out[4]);

}  // namespace
}  // namespace morvex::core::multivar4d

extern "C" MORVEX_API int32_t morvex_solve_multivar_4d(const float u_desired[4],
                                                       const Bounds4* bounds,
                                                       const Constraints4* constraints,
                                                       Solution4* out) {
    using namespace morvex::core::multivar4d;
    if (u_desired == nullptr || bounds == nullptr || constraints == nullptr || out == nullptr) {
        return -1;
    }

    // Everything is read before `out` is written, so the records may overlap.
    const std::uint64_t count = constraints->count;
    const bool count_valid = count <= 4;
    Problem pb{};
    for (int i = 0; i < 4; ++i) {
        pb.d[i] = u_desired[i];
        pb.lo[i] = bounds->min[i];
        pb.hi[i] = bounds->max[i];
    }
    pb.rows = count_valid ? static_cast<int>(count) : 0;  // rows beyond it are never read
    for (int j = 0; j < pb.rows; ++j) {
        for (int i = 0; i < 4; ++i) pb.a[j][i] = constraints->a[j][i];
        pb.b[j] = constraints->b[j];
    }
    float x0[4];
    clamp_into_box(pb, pb.d, x0);

    const Outcome result =
        count_valid ? solve(pb, x0) : early_exit(MORVEX_STATUS_INVALID_INPUT, x0);
    // Field by field: the padding of the caller's record stays as it was.
    for (int i = 0; i < 4; ++i) out->u[i] = result.u[i];
    out->iterations = result.iterations;
    out->status = result.status;
    return 0;
}

namespace morvex::core::multivar4d {
namespace {

bool has_invalid_input(const Problem& pb);
bool meets_every_row(const Problem& pb, const float x[4]);
bool meets_every_constraint(const Problem& pb, const float x[4]);
bool feasible_start(const Problem& pb, float z[4]);
Outcome active_set(const Problem& pb, const float start[4], const float x0[4]);

// x0 is the desired vector clamped into the box: the answer of every early exit.
Outcome solve(const Problem& pb, const float x0[4]) {
    if (has_invalid_input(pb)) return early_exit(MORVEX_STATUS_INVALID_INPUT, x0);

    if (meets_every_row(pb, x0)) {
        // A single-precision row value that overflowed to -inf passes that test
        // while x0 may break the row.
        return early_exit(meets_every_constraint(pb, x0) ? MORVEX_STATUS_OPTIMAL
                                                         : MORVEX_STATUS_NUMERICAL_FAILURE,
                          x0);
    }

    float z[4];
    if (!feasible_start(pb, z)) return early_exit(MORVEX_STATUS_INFEASIBLE, x0);
    return active_set(pb, z, x0);
}

// ---- the active-set loop ------------------------------------------------------

enum class Kind : std::uint8_t { LowerBound = 0, UpperBound = 1, GeneralConstraint = 2 };

struct Entry {
    Kind kind;
    std::uint8_t index;
};

// Ordered, at most kMaxWorkingSet entries; removal closes the gap. A bit per
// (kind, index) answers membership without a scan.
class WorkingSet {
public:
    int size() const { return size_; }
    const Entry& operator[](int k) const { return entries_[k]; }

    bool contains(Kind kind, int index) const { return (members_ & bit(kind, index)) != 0; }

    // False when the set is already full; the entry is then not added.
    bool add(Kind kind, int index) {
        if (size_ >= kMaxWorkingSet) return false;
        entries_[size_] = Entry{kind, static_cast<std::uint8_t>(index)};
        ++size_;
        members_ |= bit(kind, index);
        return true;
    }

    void remove(int k) {
        members_ &= ~bit(entries_[k].kind, entries_[k].index);
        for (int j = k; j + 1 < size_; ++j) entries_[j] = entries_[j + 1];
        --size_;
    }

private:
    static std::uint32_t bit(Kind kind, int index) {
        return std::uint32_t{1} << (4 * static_cast<int>(kind) + index);
    }

    Entry entries_[kMaxWorkingSet] = {};
    int size_ = 0;
    std::uint32_t members_ = 0;
};

// The minimiser x* of |x - d| on the working set's rows held as equalities,
// with the multiplier of each entry.
struct Candidate {
    float x[4];
    float lambda[kMaxWorkingSet];
};

bool initial_working_set(const Problem& pb, const float x[4], WorkingSet& ws);
bool candidate_point(const Problem& pb, const WorkingSet& ws, Candidate& c);
int entry_to_drop(const WorkingSet& ws, const float lambda[kMaxWorkingSet]);
float largest_violation(const Problem& pb, const WorkingSet& ws, const float xs[4]);
bool step_to_first_blocker(const Problem& pb, WorkingSet& ws, const float target[4], float x[4]);
Outcome iterate_exit(const Problem& pb, SolveStatus status, const float v[4],
                     std::uint64_t iterations, const float x0[4]);

// From a feasible start x: solve for the candidate on the working set; drop an
// entry whose multiplier says it holds x back, else stop if the candidate meets
// everything, else walk towards it until the first constraint blocks the way.
Outcome active_set(const Problem& pb, const float start[4], const float x0[4]) {
    const Outcome failure = early_exit(MORVEX_STATUS_NUMERICAL_FAILURE, x0);
    float x[4] = {start[0], start[1], start[2], start[3]};
    WorkingSet ws;
    if (!initial_working_set(pb, x, ws)) return failure;

    for (int n = 1; n <= kMaxIterations; ++n) {
        Candidate c{};
        if (!candidate_point(pb, ws, c)) return failure;

        const int drop = entry_to_drop(ws, c.lambda);
        if (drop >= 0) {
            ws.remove(drop);
            continue;
        }
        if (largest_violation(pb, ws, c.x) <= kTolerance) {
            return iterate_exit(pb, MORVEX_STATUS_OPTIMAL, c.x, static_cast<std::uint64_t>(n), x0);
        }
        if (!step_to_first_blocker(pb, ws, c.x, x)) return failure;
    }
    return iterate_exit(pb, MORVEX_STATUS_ITERATION_LIMIT, x,
                        static_cast<std::uint64_t>(kMaxIterations), x0);
}

// ---- the steps of the loop ----------------------------------------------------

float dot4(const float x[4], const float y[4]);
void entry_row(const Problem& pb, Entry e, float n[4], float& v);

// Every bound and row that x meets within the tolerance, bounds first; false
// when they do not fit in the set.
bool initial_working_set(const Problem& pb, const float x[4], WorkingSet& ws) {
    for (int i = 0; i < 4; ++i) {
        if (std::fabs(x[i] - pb.lo[i]) <= kTolerance) {
            if (!ws.add(Kind::LowerBound, i)) return false;
        } else if (std::fabs(x[i] - pb.hi[i]) <= kTolerance) {
            if (!ws.add(Kind::UpperBound, i)) return false;
        }
    }
    for (int j = 0; j < pb.rows; ++j) {
        if (std::fabs(dot4(pb.a[j], x) - pb.b[j]) <= kTolerance) {
            if (!ws.add(Kind::GeneralConstraint, j)) return false;
        }
    }
    return true;
}

// x* = d - sum_k lambda_k N_k with (N N^T) lambda = N d - v; false when the
// normal equations cannot be solved.
bool candidate_point(const Problem& pb, const WorkingSet& ws, Candidate& c) {
    const int m = ws.size();
    float rows[kMaxWorkingSet][4] = {};
    float r[kMaxWorkingSet] = {};
    for (int k = 0; k < m; ++k) {
        float v = 0.0f;
        entry_row(pb, ws[k], rows[k], v);
        r[k] = dot4(rows[k], pb.d) - v;
    }
    if (!solve_normal_equations(m, rows, r, c.lambda)) return false;

    for (int i = 0; i < 4; ++i) c.x[i] = pb.d[i];
    for (int k = 0; k < m; ++k) {
        for (int i = 0; i < 4; ++i) c.x[i] = c.x[i] - c.lambda[k] * rows[k][i];
    }
    return true;
}

// The entry with the most negative multiplier, or -1 when none is below
// -tolerance. A later multiplier displaces the choice only when lower by more
// than the tolerance; multipliers within it of zero count as non-negative.
int entry_to_drop(const WorkingSet& ws, const float lambda[kMaxWorkingSet]) {
    float mu = 0.0f;
    int drop = -1;
    for (int k = 0; k < ws.size(); ++k) {
        if (lambda[k] < mu - kTolerance) {
            mu = lambda[k];
            drop = k;
        }
    }
    return drop;
}

// Largest violation at x* of a bound or row outside the working set, from 0.
float largest_violation(const Problem& pb, const WorkingSet& ws, const float xs[4]) {
    float worst = 0.0f;
    for (int i = 0; i < 4; ++i) {
        if (!ws.contains(Kind::LowerBound, i)) {
            const float v = pb.lo[i] - xs[i];
            if (v > worst) worst = v;
        }
        if (!ws.contains(Kind::UpperBound, i)) {
            const float v = xs[i] - pb.hi[i];
            if (v > worst) worst = v;
        }
    }
    for (int j = 0; j < pb.rows; ++j) {
        if (ws.contains(Kind::GeneralConstraint, j)) continue;
        const float v = dot4(pb.a[j], xs) - pb.b[j];
        if (v > worst) worst = v;
    }
    return worst;
}

struct Step {
    float alpha;
    bool blocked;
    Kind kind;
    int index;
};

Step ratio_test(const Problem& pb, const WorkingSet& ws, const float x[4], const float p[4]);

// Moves x along p = target - x by the longest step in [0, 1] that no constraint
// outside the working set blocks, and adds the blocker of a step cut short.
// False when no useful step exists or the blocker does not fit.
bool step_to_first_blocker(const Problem& pb, WorkingSet& ws, const float target[4], float x[4]) {
    float p[4];
    for (int i = 0; i < 4; ++i) p[i] = target[i] - x[i];
    const Step step = ratio_test(pb, ws, x, p);
    if (step.alpha <= kTiny || !std::isfinite(step.alpha)) return false;
    for (int i = 0; i < 4; ++i) x[i] = x[i] + step.alpha * p[i];
    if (step.alpha < kFullStep) {
        // A step this short was always cut by a blocker.
        if (!step.blocked || !ws.add(step.kind, step.index)) return false;
    }
    return true;
}

void offer(Step& step, float t, Kind kind, int index) {
    if (t > kTiny && t < step.alpha) step = Step{t, true, kind, index};
}

// Longest step in [0, 1] along p from x before a constraint outside the working
// set blocks it; candidates are scanned axes first, then rows, and only a
// strictly shorter step displaces the current blocker.
Step ratio_test(const Problem& pb, const WorkingSet& ws, const float x[4], const float p[4]) {
    Step step{1.0f, false, Kind::LowerBound, 0};
    for (int i = 0; i < 4; ++i) {
        // An axis held at, or within tolerance of, its lower bound is not
        // guarded at all; its upper bound included.
        if (ws.contains(Kind::LowerBound, i) || std::fabs(x[i] - pb.lo[i]) <= kTolerance) {
            continue;
        }
        if (p[i] < -kTiny) offer(step, (pb.lo[i] - x[i]) / p[i], Kind::LowerBound, i);
        if (ws.contains(Kind::UpperBound, i) || std::fabs(x[i] - pb.hi[i]) <= kTolerance) {
            continue;
        }
        if (p[i] > kTiny) offer(step, (pb.hi[i] - x[i]) / p[i], Kind::UpperBound, i);
    }
    for (int j = 0; j < pb.rows; ++j) {
        if (ws.contains(Kind::GeneralConstraint, j)) continue;
        const float slack = pb.b[j] - dot4(pb.a[j], x);
        if (!(std::fabs(slack) > kTolerance)) continue;
        const float q = dot4(pb.a[j], p);
        if (q > kTiny) offer(step, slack / q, Kind::GeneralConstraint, j);
    }
    return step;
}

// ---- helpers ------------------------------------------------------------------

// ((t0 + t1) + t2) + t3 with t_i = x[i] * y[i], each step rounded to single.
float dot4(const float x[4], const float y[4]) {
    float s = x[0] * y[0];
    s = s + x[1] * y[1];
    s = s + x[2] * y[2];
    s = s + x[3] * y[3];
    return s;
}

bool is_nan(float v) { return v != v; }

bool has_nan(const float v[4]) {
    return is_nan(v[0]) || is_nan(v[1]) || is_nan(v[2]) || is_nan(v[3]);
}

void clamp_into_box(const Problem& pb, const float v[4], float out[4]) {
    for (int i = 0; i < 4; ++i) out[i] = clamp_lower_first(v[i], pb.lo[i], pb.hi[i]);
}

// A NaN anywhere, or an empty box on some axis.
bool has_invalid_input(const Problem& pb) {
    for (int i = 0; i < 4; ++i) {
        if (is_nan(pb.lo[i]) || is_nan(pb.hi[i]) || pb.lo[i] > pb.hi[i] || is_nan(pb.d[i])) {
            return true;
        }
    }
    for (int j = 0; j < pb.rows; ++j) {
        if (has_nan(pb.a[j]) || is_nan(pb.b[j])) return true;
    }
    return false;
}

// Every row within the tolerance, in single precision.
bool meets_every_row(const Problem& pb, const float x[4]) {
    for (int j = 0; j < pb.rows; ++j) {
        if (!(dot4(pb.a[j], x) <= pb.b[j] + kTolerance)) return false;
    }
    return true;
}

bool projection_pass(const Problem& pb, float z[4]);
bool outside_after_projection(const Problem& pb, const float z[4]);

// A start inside the box that meets the rows, by cyclic projection from the
// origin (not from x0); false when the passes run out with z still outside.
bool feasible_start(const Problem& pb, float z[4]) {
    const float origin[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    clamp_into_box(pb, origin, z);
    bool settled = false;
    for (int pass = 0; pass < kMaxProjectionPasses && !settled; ++pass) {
        settled = !projection_pass(pb, z);
    }
    return settled || !outside_after_projection(pb, z);
}

// One cyclic pass over the rows; returns whether some row was violated by more
// than the tolerance (the pass counts as changing even when that row is too
// short to move z).
bool projection_pass(const Problem& pb, float z[4]) {
    bool changed = false;
    for (int j = 0; j < pb.rows; ++j) {
        const float res = dot4(pb.a[j], z) - pb.b[j];
        if (!(res > kTolerance)) continue;
        changed = true;
        const float norm2 = dot4(pb.a[j], pb.a[j]);
        if (norm2 < kTiny) continue;
        const float scale = res / norm2;
        float moved[4];
        for (int i = 0; i < 4; ++i) moved[i] = z[i] - pb.a[j][i] * scale;
        clamp_into_box(pb, moved, z);
    }
    return changed;
}

bool outside_after_projection(const Problem& pb, const float z[4]) {
    for (int i = 0; i < 4; ++i) {
        if (z[i] < pb.lo[i] - kTolerance || z[i] > pb.hi[i] + kTolerance) return true;
    }
    for (int j = 0; j < pb.rows; ++j) {
        if (dot4(pb.a[j], z) > pb.b[j] + kTolerance) return true;
    }
    return false;
}

// The row N . x <= v of a working-set entry. A bound row is a full 4-vector, so
// that every product with it is the same four-term dot product as for a
// general row (an infinite component on another axis then gives 0 * inf = NaN).
void entry_row(const Problem& pb, Entry e, float n[4], float& v) {
    n[0] = 0.0f;
    n[1] = 0.0f;
    n[2] = 0.0f;
    n[3] = 0.0f;
    switch (e.kind) {
        case Kind::LowerBound:
            n[e.index] = -1.0f;
            v = -pb.lo[e.index];
            break;
        case Kind::UpperBound:
            n[e.index] = 1.0f;
            v = pb.hi[e.index];
            break;
        case Kind::GeneralConstraint:
            for (int i = 0; i < 4; ++i) n[i] = pb.a[e.index][i];
            v = pb.b[e.index];
            break;
    }
}

Outcome early_exit(SolveStatus status, const float x0[4]) {
    return Outcome{status, {x0[0], x0[1], x0[2], x0[3]}, 0};
}

// A command handed back from the iterations: never NaN, under the iteration
// limit never outside the box, and called optimal only if it meets its bounds
// and rows.
Outcome iterate_exit(const Problem& pb, SolveStatus status, const float v[4],
                     std::uint64_t iterations, const float x0[4]) {
    Outcome out{status, {v[0], v[1], v[2], v[3]}, iterations};
    if (status == MORVEX_STATUS_ITERATION_LIMIT) clamp_into_box(pb, v, out.u);
    if (has_nan(out.u)) return early_exit(MORVEX_STATUS_NUMERICAL_FAILURE, x0);
    if (status == MORVEX_STATUS_OPTIMAL && !meets_every_constraint(pb, out.u)) {
        return early_exit(MORVEX_STATUS_NUMERICAL_FAILURE, x0);
    }
    return out;
}

// Whether an answer called optimal meets every bound and row it claims to. Checked
// in double precision, where the four products of a row can neither overflow nor
// round away a miss; a miss beyond the tolerance plus a few single-precision
// ulps of the magnitudes involved means the normal equations lost the answer
// (cancellation, a product that overflowed single precision). An axis asked to
// go to infinity on an unbounded side has nothing to measure.
bool meets_every_constraint(const Problem& pb, const float x[4]) {
    constexpr double kRounding = 0x1p-20;  // about 8 single-precision ulps
    const auto missed = [](double excess, double magnitude) {
        return excess > kTolerance + kRounding * magnitude;
    };
    for (int i = 0; i < 4; ++i) {
        if (!std::isfinite(x[i])) return true;
    }
    for (int i = 0; i < 4; ++i) {
        const double xi = x[i], lo = pb.lo[i], hi = pb.hi[i];
        if (missed(lo - xi, std::fabs(lo) + std::fabs(xi))) return false;
        if (missed(xi - hi, std::fabs(hi) + std::fabs(xi))) return false;
    }
    for (int j = 0; j < pb.rows; ++j) {
        double value = 0.0;
        double magnitude = std::fabs(static_cast<double>(pb.b[j]));  // finite b only
        for (int i = 0; i < 4; ++i) {
            const double term = static_cast<double>(pb.a[j][i]) * x[i];
            value += term;
            magnitude += std::fabs(term);
        }
        const double b = pb.b[j];
        if (!std::isfinite(value) || !std::isfinite(b)) {
            if (!(value <= b)) return false;  // no allowance is meaningful here
        } else if (missed(value - b, magnitude)) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool solve_normal_equations(int k, const float rows[kMaxWorkingSet][4],
                            const float r_in[kMaxWorkingSet], float lambda[kMaxWorkingSet]) {
    float g[kMaxWorkingSet][kMaxWorkingSet];
    float r[kMaxWorkingSet];
    for (int i = 0; i < k; ++i) {
        r[i] = r_in[i];
        // N_j . N_i has the same products in the same order as N_i . N_j,
        // hence the same bits: each pair is evaluated once.
        for (int j = i; j < k; ++j) {
            g[i][j] = dot4(rows[i], rows[j]);
            // An overflowed product would otherwise eliminate to a zero
            // multiplier and let a violated row pass as satisfied.
            if (!std::isfinite(g[i][j])) return false;
            g[j][i] = g[i][j];
        }
    }

    for (int col = 0; col < k; ++col) {
        int pivot = col;
        float largest = std::fabs(g[col][col]);
        for (int row = col + 1; row < k; ++row) {
            const float magnitude = std::fabs(g[row][col]);
            if (magnitude > largest) {
                largest = magnitude;
                pivot = row;
            }
        }
        if (largest < kPivotThreshold) return false;
        if (pivot != col) {
            for (int c = col; c < k; ++c) {
                const float t = g[col][c];
                g[col][c] = g[pivot][c];
                g[pivot][c] = t;
            }
            const float t = r[col];
            r[col] = r[pivot];
            r[pivot] = t;
        }
        for (int i = col + 1; i < k; ++i) {
            const float f = g[i][col] / g[col][col];
            if (!std::isfinite(f)) return false;
            for (int c = col; c < k; ++c) g[i][c] = g[i][c] - f * g[col][c];
            r[i] = r[i] - f * r[col];
        }
    }

    for (int i = k - 1; i >= 0; --i) {
        if (std::fabs(g[i][i]) < kPivotThreshold) return false;
        float s = r[i];
        for (int j = i + 1; j < k; ++j) s = s - g[i][j] * lambda[j];
        lambda[i] = s / g[i][i];
        if (!std::isfinite(lambda[i])) return false;
    }
    return true;
}

}  // namespace morvex::core::multivar4d
