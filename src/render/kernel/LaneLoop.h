// The batch escape-count loop of every vector path: how points are handed to the lanes of a few
// vectors in flight, and how the lanes' answers come back. What one lane does at a step is the
// path's Body (LastTest.h or TwoCounts.h) over the path's vector operations (its Ops).
//
// Each path's file defines its Ops in an anonymous namespace, so every instantiation of this
// loop is internal to that file and compiled for its instruction set alone. For the same reason
// every helper here is a member of a template on the Body: of an inline function with external
// linkage the linker could keep one file's wide-instruction copy for every caller, and a CPU
// without those instructions would crash in the portable path.
#pragma once

#include "render/kernel/EscapeKernelBand.h"

#include <cstddef>
#include <cstdint>
#include <iterator> // std::size
#include <type_traits>
#include <utility>

// The steps of the loop are functions of their own for the reader, not for the compiler: each is
// inlined into the loop around it, so that the lanes' state never leaves the registers.
#if defined(__GNUC__)
#define LUMIVAR_LANE_STEP [[gnu::always_inline]] inline
#define LUMIVAR_BLOCK [[gnu::noinline]]
#else
#define LUMIVAR_LANE_STEP inline
#define LUMIVAR_BLOCK
#endif

namespace stavenwick::escapeKernel {

// A lane's answer is one 64-bit value: its point's index, its key, shifted above COUNT_BITS
// bits that say what the Body counted, or hold BY_DEFINITION where the definition must decide.
constexpr int COUNT_BITS = 11;
constexpr std::int64_t BY_DEFINITION = (std::int64_t{1} << COUNT_BITS) - 1;

// counts[i] = Mandelbrot::escapeCount(re[i], im[i]) for i < n, with VECTORS vectors of lanes in
// flight. The lanes run STEPS steps between rounds; a round hands each finished lane's answer to
// a staging buffer and its next point to the lane, whole vectors at a time. The staging buffer
// is flushed into counts between runs of the steps, so that nothing but the lanes lives in the
// vector registers while they run. A lane with no point left holds the key n, whose answers the
// flush drops.
template <class Body, int VECTORS, int STEPS>
class LaneLoop {
    using Ops = typename Body::Ops;
    using Vec = typename Ops::Vec;
    using Index = typename Ops::Index;  // one 64-bit integer per lane
    using State = typename Body::State; // a lane's registers, vectors only
    using Last = typename Body::Last;   // what a block's last step found, as lane bits
    static constexpr int LANES = Ops::LANES;
    static constexpr unsigned ALL_LANES = (1u << LANES) - 1;
    static constexpr std::size_t ROUND = std::size_t{VECTORS} * LANES; // points a round may take
    // points a round may read: its last vector loads a whole vector
    static constexpr std::size_t READ = ROUND + LANES;
    static constexpr std::size_t STAGED = 512; // answers staged before a flush
    static_assert(STEPS >= 1 && STEPS <= Body::MOST_STEPS, "counts that fit their bits");

public:
    static void run(const double* re, const double* im, std::int32_t* counts, std::size_t n)
    {
        // a point's key must fit its bits
        for (std::size_t first = 0; first < n; first += Body::MOST_POINTS) {
            const std::size_t left = n - first;
            LaneLoop(re + first, im + first, counts + first,
                     left < Body::MOST_POINTS ? left : Body::MOST_POINTS)
                .runAll();
        }
    }

private:
    LaneLoop(const double* re, const double* im, std::int32_t* counts, std::size_t n)
        : m_re(re), m_im(im), m_counts(counts), m_n(n)
    {
        m_progress.re = re;
        m_progress.im = im;
        for (std::size_t i = 0; i < std::size(Body::CONSTANTS); ++i) {
            m_constants[i] = Ops::broadcast(Body::CONSTANTS[i]);
        }
    }

    void runAll()
    {
        if (m_n < READ) {
            takeTheTail();
        }
        eachVector([&](auto v) {
            Body::clear(m_state[v]);
            m_cr[v] = m_ci[v] = Ops::broadcast(0.0);
            refill<true>(m_state[v], v, ALL_LANES, m_progress); // the tail's checks hold anywhere
        });
        while (m_progress.active > 0) {
            if (!m_inTail && m_n - m_progress.next < READ) {
                takeTheTail();
            }
            if (m_inTail) {
                advance<true>();
            } else {
                advance<false>();
            }
            flush();
        }
    }

    struct Progress {
        std::size_t next = 0;   // the next point to hand out
        std::size_t active = 0; // lanes holding a point
        std::size_t staged = 0; // answers in the staging buffer
        // where the next point's c is read: the caller's arrays, or the tail's copy
        const double* re = nullptr;
        const double* im = nullptr;
    };

    // Runs the lanes until the staging buffer may not hold another round, or no lane holds a
    // point, or (out of the tail) a round may find too few points left for every lane. The
    // lanes' state is copied into locals, which the compiler keeps in registers: nothing here
    // calls out. TAIL says whether the tail is being run: out of it, the rounds skip its checks.
    template <bool TAIL>
    void advance()
    {
        State state[VECTORS];
        eachVector([&](auto v) { state[v] = m_state[v]; });
        Progress progress = m_progress;
        while (progress.staged <= STAGED && progress.active > 0 &&
               (TAIL || m_n - progress.next >= READ)) {
            Last last[VECTORS];
            stepBlock(state, last);
            round<TAIL>(state, last, progress);
        }
        eachVector([&](auto v) { m_state[v] = state[v]; });
        m_progress = progress;
    }

    // STEPS steps of every vector, the vectors interleaved so that their chains overlap; the
    // last step also notes what the round needs to know. Where registers are few (FEW_REGISTERS),
    // in a function of its own, so that the round's many values cannot crowd the lanes out of
    // them; elsewhere inlined, which saves the call and the copies.
    LUMIVAR_LANE_STEP void stepBlock(State (&lanes)[VECTORS], Last (&last)[VECTORS]) const
    {
        if constexpr (Ops::FEW_REGISTERS) {
            stepBlockApart(lanes, last);
        } else {
            steps(lanes, last);
        }
    }
    LUMIVAR_BLOCK void stepBlockApart(State (&lanes)[VECTORS], Last (&last)[VECTORS]) const
    {
        steps(lanes, last);
    }
    LUMIVAR_LANE_STEP void steps(State (&lanes)[VECTORS], Last (&last)[VECTORS]) const
    {
        State state[VECTORS];
        eachVector([&](auto v) { state[v] = lanes[v]; });
        for (int step = 0; step < STEPS - 1; ++step) {
            eachVector([&](auto v) {
                Body::template step<false>(state[v], m_cr[v], m_ci[v], m_constants);
            });
        }
        eachVector([&](auto v) {
            last[v] = Body::template step<true>(state[v], m_cr[v], m_ci[v], m_constants);
        });
        eachVector([&](auto v) { lanes[v] = state[v]; });
    }

    // Every vector's finished lanes hand their answers over and take the next points. Rounds
    // come at a fixed pace, which the CPU predicts; whether a vector has finished lanes it
    // cannot, but skipping the vectors that have none still saves more than it costs.
    template <bool TAIL>
    LUMIVAR_LANE_STEP void round(State (&state)[VECTORS], const Last (&last)[VECTORS],
                                 Progress& progress)
    {
        unsigned finished[VECTORS];
        eachVector([&](auto v) { finished[v] = ~Body::running(state[v], last[v]) & ALL_LANES; });
        eachVector([&](auto v) {
            if (finished[v] != 0) {
                stage<TAIL>(state[v], last[v], finished[v], progress);
                refill<TAIL>(state[v], v, finished[v], progress);
            }
        });
    }

    // The answers of the lanes named, packed after those already staged.
    template <bool TAIL>
    LUMIVAR_LANE_STEP void stage(const State& state, const Last& last, unsigned lanes,
                                 Progress& progress)
    {
        const Index answers = Body::answers(state, last);
        Ops::storeIndex(m_staging + progress.staged, Ops::compress(answers, lanes));
        progress.staged += Ops::popcount(lanes);
        if (!TAIL) {
            progress.active -= Ops::popcount(lanes);
        } else { // lanes without a point finish too, now and then
            const std::int64_t idle = static_cast<std::int64_t>(m_n) << COUNT_BITS;
            progress.active -= Ops::popcount(lanes & Ops::bits(Ops::lessThan(answers, idle)));
        }
    }

    // The next points, in order, into the lanes named of vector v; in the tail, lanes past the
    // last point take the key n and c = 0 (the zeros after the tail's copy).
    template <bool TAIL>
    LUMIVAR_LANE_STEP void refill(State& state, int v, unsigned lanes, Progress& progress)
    {
        m_cr[v] = Ops::expandInto(m_cr[v], lanes, Ops::loadu(progress.re));
        m_ci[v] = Ops::expandInto(m_ci[v], lanes, Ops::loadu(progress.im));
        // the keys in order, as the lanes take them
        Index keys = Ops::iota(key(progress.next), COUNT_BITS + Body::KEY_SHIFT);
        unsigned taken = Ops::popcount(lanes);
        if (TAIL && m_n - progress.next < taken) {
            taken = static_cast<unsigned>(m_n - progress.next);
            keys = Ops::blendIndex(Ops::broadcastIndex(key(m_n)), keys, (1u << taken) - 1);
        }
        Body::restart(state, lanes, keys, m_cr[v], m_ci[v]);
        progress.next += taken;
        progress.active += taken;
        progress.re += taken;
        progress.im += taken;
    }

    // The key of point i, with the count of a lane that has not run.
    static std::int64_t key(std::size_t i)
    {
        return ((static_cast<std::int64_t>(i) << COUNT_BITS) + Body::FRESH) << Body::KEY_SHIFT;
    }

    // The points left, fewer than a round may read, copied where whole vectors can be read.
    void takeTheTail()
    {
        const std::size_t left = m_n - m_progress.next;
        for (std::size_t i = 0; i < READ; ++i) {
            m_tail[0][i] = i < left ? m_re[m_progress.next + i] : 0.0;
            m_tail[1][i] = i < left ? m_im[m_progress.next + i] : 0.0;
        }
        m_progress.re = m_tail[0];
        m_progress.im = m_tail[1];
        m_inTail = true;
    }

    // Writes the staged answers to counts, asking the definition where they say so.
    void flush()
    {
        for (std::size_t i = 0; i < m_progress.staged; ++i) {
            const auto point = static_cast<std::size_t>(m_staging[i] >> COUNT_BITS);
            const std::int64_t field = m_staging[i] & BY_DEFINITION;
            if (point < m_n) {
                m_counts[point] = field != BY_DEFINITION
                                      ? Body::count(field)
                                      : countByDefinition<Ops>(m_re[point], m_im[point]);
            }
        }
        m_progress.staged = 0;
    }

    // Calls f(v) for v = 0 ... VECTORS - 1, v a compile-time constant: every vector's state then
    // has a place of its own, which the compiler keeps in registers, as it would not for an
    // index it only knows at run time.
    template <class F>
    LUMIVAR_LANE_STEP static void eachVector(F&& f)
    {
        eachVector(f, std::make_integer_sequence<int, VECTORS>{});
    }
    template <class F, int... V>
    LUMIVAR_LANE_STEP static void eachVector(F&& f, std::integer_sequence<int, V...> /*all*/)
    {
        (f(std::integral_constant<int, V>{}), ...);
    }

    const double* m_re;
    const double* m_im;
    std::int32_t* m_counts;
    std::size_t m_n;
    Progress m_progress;
    bool m_inTail = false; // fewer points left than a round may read
    State m_state[VECTORS];
    Vec m_cr[VECTORS]; // each vector's c
    Vec m_ci[VECTORS];
    // the Body's constants, each in a whole vector
    Vec m_constants[std::size(Body::CONSTANTS)];
    // room for a whole vector's store past a full round
    alignas(64) std::int64_t m_staging[STAGED + ROUND + LANES];
    // the last points, and zeros that a whole vector's load may read past them
    alignas(64) double m_tail[2][READ + LANES];
};

} // namespace stavenwick::escapeKernel
