// Per-solve time of the exact four-axis projection (morvex_exact_4d, one-shot:
// validation, row normalisation and solve on every call) against DAQP's C library
// (dual active set; warm workspace: set up once per row count, then per solve the
// rows, bounds and linear term are updated and the working set is emptied), on a
// fixed corpus of random feasible problems (box plus 1 to 4 rows met with slack by
// a point of the box; the desired vector is that point moved by up to 6 per axis).
// Problems are binned by the exact kernel's answer: quick exit, or 1..4 rows active.
// Also: the quick exit of the existing four-axis kernel on the same problems in
// float, and the worst case (a problem that reaches the enumeration).
// Time per solve: best of 3 passes over each bin, repeated in 7 rounds that
// alternate the solvers compared (so that load from other processes hits them
// alike), best round kept. Prints a table of ratios.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "morvex/core.h"
#include "morvex/exact_4d.h"
#ifdef MORVEX_WITH_DAQP
extern "C" {
#include "api.h"
#include "utils.h"
}
#endif

namespace {

struct Problem {
    MorvexLimits4 lim;
    double d[4];
};

Problem random_problem(std::mt19937& rng, int count) {
    std::uniform_real_distribution<double> unit(-1.0, 1.0), u01(0.0, 1.0);
    Problem p{};
    double inner[4];
    for (int i = 0; i < 4; ++i) {
        p.lim.lower[i] = -5.0 + 6.0 * u01(rng);
        p.lim.upper[i] = p.lim.lower[i] + 0.2 + 10.0 * u01(rng);
        inner[i] = p.lim.lower[i] + (p.lim.upper[i] - p.lim.lower[i]) * u01(rng);
        p.d[i] = inner[i] + 6.0 * unit(rng);
    }
    p.lim.row_count = static_cast<uint32_t>(count);
    for (int j = 0; j < count; ++j) {
        double lhs = 0;
        for (int i = 0; i < 4; ++i) {
            p.lim.a[j][i] = unit(rng);
            lhs += p.lim.a[j][i] * inner[i];
        }
        p.lim.b[j] = lhs + 0.5 * u01(rng);
    }
    return p;
}

// 0: quick exit; k: k rows active at the answer.
int bin_of(const Problem& p) {
    MorvexExact4Result r;
    morvex_exact_4d(&p.lim, p.d, &r);
    if (r.steps == 0) return 0;
    int active = 0;
    for (uint32_t j = 0; j < p.lim.row_count; ++j) {
        double v = 0, n = 0;
        for (int i = 0; i < 4; ++i) v += p.lim.a[j][i] * r.x[i], n += std::fabs(p.lim.a[j][i]);
        if (std::fabs(v - p.lim.b[j]) <= 1e-9 * (n * 10 + std::fabs(p.lim.b[j]))) ++active;
    }
    return active;
}

template <class F>
double ns_per_call(std::size_t n, F&& call, int passes = 3) {
    double best = 1e300;
    for (int pass = 0; pass < passes; ++pass) {
        const auto t0 = std::chrono::steady_clock::now();
        for (std::size_t k = 0; k < n; ++k) call(k);
        const auto t1 = std::chrono::steady_clock::now();
        best = std::fmin(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / double(n));
    }
    return best;
}

volatile double sink;

#ifdef MORVEX_WITH_DAQP
struct Daqp {
    DAQPWorkspace work{};
    DAQPProblem qp{};
    double H[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    double f[4] = {}, A[16] = {}, bu[8] = {}, bl[8] = {};
    int sense[8] = {};
    double x[4], lam[8];
    DAQPResult res{};

    explicit Daqp(int rows) {
        qp.n = 4;
        qp.m = 4 + rows;
        qp.ms = 4;
        qp.H = H;
        qp.f = f;
        qp.A = A;
        qp.bupper = bu;
        qp.blower = bl;
        qp.sense = sense;
        for (int i = 0; i < 4; ++i) bu[i] = 1, bl[i] = -1;
        for (int j = 0; j < rows; ++j) bu[4 + j] = 1, bl[4 + j] = -DAQP_INF, A[4 * j + j] = 1;
        setup_daqp(&qp, &work, nullptr);
        res.x = x;
        res.lam = lam;
    }
    ~Daqp() {
        free_daqp_workspace(&work);
        free_daqp_ldp(&work);
    }
    int solve(const Problem& p) {
        for (int i = 0; i < 4; ++i) {
            f[i] = -p.d[i];
            bl[i] = p.lim.lower[i];
            bu[i] = p.lim.upper[i];
        }
        for (uint32_t j = 0; j < p.lim.row_count; ++j) {
            for (int i = 0; i < 4; ++i) A[4 * j + i] = p.lim.a[j][i];
            bu[4 + j] = p.lim.b[j];
        }
        daqp_deactivate_constraints(&work);
        daqp_update_ldp(DAQP_UPDATE_M + DAQP_UPDATE_v + DAQP_UPDATE_d, &work, &qp);
        daqp_solve(&res, &work);
        return res.exitflag;
    }
    // The same limits as the last solve (this workspace holds them): only the
    // linear term is updated.
    int solve_same_limits(const double d[4]) {
        for (int i = 0; i < 4; ++i) f[i] = -d[i];
        daqp_deactivate_constraints(&work);
        daqp_update_ldp(DAQP_UPDATE_v, &work, &qp);
        daqp_solve(&res, &work);
        return res.exitflag;
    }
};
#endif

}  // namespace

int main() {
    std::mt19937 rng(20261212);
    std::vector<Problem> all;
    std::vector<std::vector<std::size_t>> bins(5);
    while (all.size() < 8192) {
        all.push_back(random_problem(rng, 1 + static_cast<int>(all.size() % 4)));
        bins[static_cast<std::size_t>(bin_of(all.back()))].push_back(all.size() - 1);
    }
    const char* names[5] = {"quick exit", "1 row active", "2 rows active", "3 rows active",
                            "4 rows active"};
    MorvexExact4Result r;
    auto ours = [&](const std::vector<std::size_t>& idx) {
        return ns_per_call(idx.size(), [&](std::size_t k) {
            morvex_exact_4d(&all[idx[k]].lim, all[idx[k]].d, &r);
            sink = r.x[0];
        });
    };
    // The prepared form (limits checked and rows normalised once, as the Python
    // class does): per solve only morvex_exact_4d_solve.
    std::vector<MorvexExact4Prepared> prep(all.size());
    for (std::size_t k = 0; k < all.size(); ++k) morvex_exact_4d_prepare(&all[k].lim, &prep[k]);
    auto ours_prepared = [&](const std::vector<std::size_t>& idx) {
        return ns_per_call(idx.size(), [&](std::size_t k) {
            morvex_exact_4d_solve(&prep[idx[k]], all[idx[k]].d, &r);
            sink = r.x[0];
        });
    };
    std::vector<std::size_t> every(all.size());
    for (std::size_t k = 0; k < all.size(); ++k) every[k] = k;

#ifdef MORVEX_WITH_DAQP
    Daqp* daqp[5] = {nullptr, new Daqp(1), new Daqp(2), new Daqp(3), new Daqp(4)};
    double maxdiff = 0;
    int daqp_fail = 0;
    for (const Problem& p : all) {
        Daqp& w = *daqp[p.lim.row_count];
        const int flag = w.solve(p);
        morvex_exact_4d(&p.lim, p.d, &r);
        if (flag != 1) ++daqp_fail;
        for (int i = 0; i < 4; ++i) maxdiff = std::fmax(maxdiff, std::fabs(w.x[i] - r.x[i]));
    }
    // DAQP prepared alike: one workspace per problem, set up with its limits once;
    // per solve only the linear term (the counterpart of morvex_exact_4d_solve).
    std::vector<Daqp*> daqp_prep(all.size());
    for (std::size_t k = 0; k < all.size(); ++k) {
        daqp_prep[k] = new Daqp(static_cast<int>(all[k].lim.row_count));
        daqp_prep[k]->solve(all[k]);
    }
    auto theirs_prepared = [&](const std::vector<std::size_t>& idx) {
        return ns_per_call(idx.size(), [&](std::size_t k) {
            sink = daqp_prep[idx[k]]->solve_same_limits(all[idx[k]].d);
        });
    };
    auto theirs = [&](const std::vector<std::size_t>& idx) {
        return ns_per_call(idx.size(), [&](std::size_t k) {
            const Problem& p = all[idx[k]];
            sink = daqp[p.lim.row_count]->solve(p);
        });
    };
    std::printf("one-shot: morvex_exact_4d against DAQP with rows, bounds and linear term updated;\n"
                "prepared: morvex_exact_4d_solve against DAQP with its limits set up once per problem\n");
    std::printf("%-14s %6s %9s %9s %6s %10s %10s %6s\n", "bin", "count", "exact", "DAQP", "ratio",
                "prepared", "DAQP prep", "ratio");
    constexpr int kRounds = 7;
    double o_all = 1e300, t_all = 1e300, p_all = 1e300, tp_all = 1e300;
    for (int round = 0; round < kRounds; ++round) {
        o_all = std::fmin(o_all, ours(every));
        t_all = std::fmin(t_all, theirs(every));
        p_all = std::fmin(p_all, ours_prepared(every));
        tp_all = std::fmin(tp_all, theirs_prepared(every));
    }
    std::printf("%-14s %6zu %9.1f %9.1f %6.2f %10.1f %10.1f %6.2f\n", "all (mix)", every.size(),
                o_all, t_all, o_all / t_all, p_all, tp_all, p_all / tp_all);
    for (int b = 0; b < 5; ++b) {
        if (bins[b].empty()) continue;
        double o = 1e300, t = 1e300, q = 1e300, tq = 1e300;
        for (int round = 0; round < kRounds; ++round) {
            o = std::fmin(o, ours(bins[b]));
            t = std::fmin(t, theirs(bins[b]));
            q = std::fmin(q, ours_prepared(bins[b]));
            tq = std::fmin(tq, theirs_prepared(bins[b]));
        }
        std::printf("%-14s %6zu %9.1f %9.1f %6.2f %10.1f %10.1f %6.2f\n", names[b], bins[b].size(),
                    o, t, o / t, q, tq, q / tq);
    }
    for (std::size_t k = 0; k < all.size(); ++k) {
        if (daqp_prep[k]->solve_same_limits(all[k].d) != 1) ++daqp_fail;
        morvex_exact_4d(&all[k].lim, all[k].d, &r);
        for (int i = 0; i < 4; ++i)
            maxdiff = std::fmax(maxdiff, std::fabs(daqp_prep[k]->x[i] - r.x[i]));
    }
    std::printf("DAQP (both forms) not optimal on %d of 2 x %zu; largest difference of the answers %.3g\n",
                daqp_fail, all.size(), maxdiff);
#else
    std::printf("DAQP not built: our times only\n");
    std::printf("%-16s %6s %12s %12s\n", "bin", "count", "exact ns", "prepared ns");
    std::printf("%-16s %6zu %12.1f %12.1f\n", "all (mix)", every.size(), ours(every),
                ours_prepared(every));
    for (int b = 0; b < 5; ++b)
        if (!bins[b].empty())
            std::printf("%-16s %6zu %12.1f %12.1f\n", names[b], bins[b].size(), ours(bins[b]),
                        ours_prepared(bins[b]));
#endif

    // The float drop-in against the double one-shot call on the same problems: the
    // float records, and the double records holding their values.
    struct F {
        float d[4];
        Bounds4 box;
        Constraints4 rows;
    };
    auto to_float = [](const Problem& p, F& f, Problem& widened) {
        f = F{};
        widened = Problem{};
        for (int i = 0; i < 4; ++i) {
            f.d[i] = static_cast<float>(p.d[i]);
            f.box.min[i] = static_cast<float>(p.lim.lower[i]);
            f.box.max[i] = static_cast<float>(p.lim.upper[i]);
            widened.d[i] = f.d[i];
            widened.lim.lower[i] = f.box.min[i];
            widened.lim.upper[i] = f.box.max[i];
        }
        f.rows.count = p.lim.row_count;
        widened.lim.row_count = p.lim.row_count;
        for (uint32_t j = 0; j < p.lim.row_count; ++j) {
            for (int i = 0; i < 4; ++i)
                widened.lim.a[j][i] = f.rows.a[j][i] = static_cast<float>(p.lim.a[j][i]);
            widened.lim.b[j] = f.rows.b[j] = static_cast<float>(p.lim.b[j]);
        }
    };
    std::printf("float drop-in against the double one-shot call on the same float problems\n");
    std::printf("%-14s %6s %9s %9s %6s\n", "bin", "count", "double", "float", "ratio");
    for (int b = -1; b < 5; ++b) {
        const std::vector<std::size_t>& idx = b < 0 ? every : bins[static_cast<std::size_t>(b)];
        if (idx.empty()) continue;
        std::vector<F> fs(idx.size());
        std::vector<Problem> ds(idx.size());
        for (std::size_t k = 0; k < idx.size(); ++k) to_float(all[idx[k]], fs[k], ds[k]);
        Solution4 sol;
        double tw = 1e300, tf = 1e300;
        for (int round = 0; round < 7; ++round) {
            tw = std::fmin(tw, ns_per_call(ds.size(), [&](std::size_t k) {
                morvex_exact_4d(&ds[k].lim, ds[k].d, &r);
                sink = r.x[0];
            }));
            tf = std::fmin(tf, ns_per_call(fs.size(), [&](std::size_t k) {
                morvex_solve_exact_4d_f32(fs[k].d, &fs[k].box, &fs[k].rows, &sol);
                sink = sol.u[0];
            }));
        }
        std::printf("%-14s %6zu %9.1f %9.1f %6.2f\n", b < 0 ? "all (mix)" : names[b], idx.size(),
                    tw, tf, tf / tw);
    }

    // Quick exit against the existing kernel's quick exit, on the same problems in float.
    std::vector<F> fq;
    std::vector<Problem> dq;
    for (std::size_t k : bins[0]) {
        F f{};
        Problem p{};
        for (int i = 0; i < 4; ++i) {
            f.d[i] = static_cast<float>(all[k].d[i]);
            f.box.min[i] = static_cast<float>(all[k].lim.lower[i]);
            f.box.max[i] = static_cast<float>(all[k].lim.upper[i]);
        }
        f.rows.count = all[k].lim.row_count;
        for (uint32_t j = 0; j < all[k].lim.row_count; ++j) {
            for (int i = 0; i < 4; ++i) f.rows.a[j][i] = static_cast<float>(all[k].lim.a[j][i]);
            f.rows.b[j] = static_cast<float>(all[k].lim.b[j]);
        }
        Solution4 s;
        morvex_solve_multivar_4d(f.d, &f.box, &f.rows, &s);
        if (s.iterations != 0 || s.status != MORVEX_STATUS_OPTIMAL) continue;
        fq.push_back(f);
        p.lim = all[k].lim;
        for (int i = 0; i < 4; ++i) p.d[i] = all[k].d[i];
        dq.push_back(p);
    }
    Solution4 s;
    std::vector<MorvexExact4Prepared> qprep(dq.size());
    for (std::size_t k = 0; k < dq.size(); ++k) morvex_exact_4d_prepare(&dq[k].lim, &qprep[k]);
    double old_q = 1e300, new_q = 1e300, f32_q = 1e300, prep_q = 1e300;
    for (int round = 0; round < 7; ++round) {
        old_q = std::fmin(old_q, ns_per_call(fq.size(), [&](std::size_t k) {
            morvex_solve_multivar_4d(fq[k].d, &fq[k].box, &fq[k].rows, &s);
            sink = s.u[0];
        }));
        new_q = std::fmin(new_q, ns_per_call(dq.size(), [&](std::size_t k) {
            morvex_exact_4d(&dq[k].lim, dq[k].d, &r);
            sink = r.x[0];
        }));
        f32_q = std::fmin(f32_q, ns_per_call(fq.size(), [&](std::size_t k) {
            morvex_solve_exact_4d_f32(fq[k].d, &fq[k].box, &fq[k].rows, &s);
            sink = s.u[0];
        }));
        prep_q = std::fmin(prep_q, ns_per_call(dq.size(), [&](std::size_t k) {
            morvex_exact_4d_solve(&qprep[k], dq[k].d, &r);
            sink = r.x[0];
        }));
    }
    std::printf("quick exit (%zu problems): exact %.1f ns, prepared %.1f ns, float drop-in %.1f ns, "
                "existing kernel %.1f ns; ratio %.2f (prepared %.2f, drop-in %.2f)\n",
                dq.size(), new_q, prep_q, f32_q, old_q, new_q / old_q, prep_q / old_q,
                f32_q / old_q);

    // The problem that sent the old Gram-matrix factorisation to the enumeration
    // (nearly parallel rows of tiny coefficients, d = -inf on an axis with a
    // finite lower bound; infeasible): now settled by the loop.
    Problem nearly{};
    {
        const double lo[4] = {-4.75, 1e-5, -5.25, 5.42101086242752217e-25};
        const double hi[4] = {11.25, 7.25001, INFINITY, 1e-5};
        const double dd[4] = {1e-5, 1e-5, -INFINITY, 1e-5};
        const double rows[3][5] = {{-79, 1e-5, 1e-5, 1e-5, 1e-5},
                                   {1e-5, 1.17549435082228751e-38, 1e-5, 1e-5, 1e-5},
                                   {1e-5, 1e-5, 0, 0, 0}};
        for (int i = 0; i < 4; ++i)
            nearly.lim.lower[i] = lo[i], nearly.lim.upper[i] = hi[i], nearly.d[i] = dd[i];
        nearly.lim.row_count = 3;
        for (int j = 0; j < 3; ++j) {
            for (int i = 0; i < 4; ++i) nearly.lim.a[j][i] = rows[j][i];
            nearly.lim.b[j] = rows[j][4];
        }
    }
    // Worst case: limits near the top of the double range (a fixed axis at
    // -1.8e306) whose step lengths overflow, so that the loop runs to its cut (64
    // steps) and then enumerates all 576 working sets of four rows.
    Problem w{};
    {
        const double lo[4] = {-0x1.ep+3, 0x1p-149, 0x1.dp+2, -0x1.d000000f79d63p+1017};
        const double hi[4] = {0x1.00000008dp+561, 0x1.dp+2, 0x1.dp+3, -0x1.d000000f79d63p+1017};
        const double dd[4] = {0x1.18p+3, 0x1.8p+1, 0x1.ap-61, 0x1.d5f9b47637263p+278};
        const double rows[4][5] = {
            {0x1.dp+2, 0x1.dp+2, -0x1.2p+2, -0x1.78p+3, -0x1.35d1d0000654p-569},
            {-0x1p-2, -0x1.8p+3, 0x1.18p+3, -0x1.a1a1ap+34, 0x1.28p+3},
            {-0x1.f9f9f9f9fd0dp-518, 0x1.12e0bep-30, 0x1.dp+2, -0x1.80c1fep+13, 0},
            {1, -1, 1, -1, 0x1p+1020}};
        for (int i = 0; i < 4; ++i) w.lim.lower[i] = lo[i], w.lim.upper[i] = hi[i], w.d[i] = dd[i];
        w.lim.row_count = 4;
        for (int j = 0; j < 4; ++j) {
            for (int i = 0; i < 4; ++i) w.lim.a[j][i] = rows[j][i];
            w.lim.b[j] = rows[j][4];
        }
    }
    MorvexExact4Result rn, rw;
    morvex_exact_4d(&nearly.lim, nearly.d, &rn);
    morvex_exact_4d(&w.lim, w.d, &rw);
    double nearly_ns = 1e300, worst = 1e300;
    for (int round = 0; round < 7; ++round) {
        nearly_ns = std::fmin(nearly_ns, ns_per_call(200, [&](std::size_t) {
            morvex_exact_4d(&nearly.lim, nearly.d, &r);
            sink = r.x[0];
        }));
        worst = std::fmin(worst, ns_per_call(50, [&](std::size_t) {
            morvex_exact_4d(&w.lim, w.d, &r);
            sink = r.x[0];
        }));
    }
    // Largest single call over the mix.
    double longest = 0;
    for (std::size_t k = 0; k < all.size(); ++k) {
        longest = std::fmax(longest, ns_per_call(1, [&](std::size_t) {
                                morvex_exact_4d(&all[k].lim, all[k].d, &r);
                            }, 3));
    }
    std::printf("nearly parallel rows (old enumeration case): %u steps, status %u, %.0f ns\n",
                rn.steps, rn.status, nearly_ns);
    std::printf("worst case (cut at 64 steps, then 576 working sets): %u steps, status %u, %.0f ns; "
                "longest call of the mix %.0f ns\n",
                rw.steps, rw.status, worst, longest);

    // The float drop-in's longest call over many more generic problems than the mix
    // (a search of the float grid that runs long is rare), beside the double call's on
    // the same float problems: each call the least of three.
    std::mt19937 tail_rng(20261210);
    constexpr int kTailProblems = 200000;
    double f32_longest = 0, double_longest = 0;
    for (int k = 0; k < kTailProblems; ++k) {
        F f;
        Problem widened;
        to_float(random_problem(tail_rng, 2 + k % 3), f, widened);
        f32_longest = std::fmax(f32_longest, ns_per_call(1, [&](std::size_t) {
                                    morvex_solve_exact_4d_f32(f.d, &f.box, &f.rows, &s);
                                }, 3));
        double_longest = std::fmax(double_longest, ns_per_call(1, [&](std::size_t) {
                                       morvex_exact_4d(&widened.lim, widened.d, &r);
                                   }, 3));
    }
    std::printf("float drop-in, longest call of %d generic problems with 2 to 4 rows: %.0f ns "
                "(the double one-shot call on the same problems: %.0f ns)\n",
                kTailProblems, f32_longest, double_longest);
    return 0;
}
