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

#include "common/Assertion.h"
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernelBand.h"
#include "render/kernel/LaneStep.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator> // std::size
#include <type_traits>
#include <utility>

namespace stavenwick::escapeKernel {

// counts[i] = Mandelbrot::escapeCount(re[i], im[i]) for i < n, with VECTORS vectors of lanes in
// flight. Each vector runs STEPS steps between its rounds, and the vectors take their rounds in
// turn, one every STEPS / VECTORS steps: while one vector's next points come in, the others'
// steps keep the arithmetic busy. A round hands each finished lane's answer to a staging buffer
// and its next point to the lane. With four lanes or more it does so whether or not the vector
// has finished lanes: a branch on that would be as unpredictable as the points, and the work it
// would skip costs less than a missed guess; with two (Ops::SKIP_IDLE), most rounds find none,
// and skipping them wins. The staging buffer is flushed into counts between runs of the steps,
// so that nothing but the lanes lives in the vector registers while they run. A lane with no
// point left holds the key n, whose answers the flush drops.
template <class Body, int VECTORS, int STEPS>
class LaneLoop {
    using Ops = typename Body::Ops;
    using Vec = typename Ops::Vec;
    using Index = typename Ops::Index;  // one 64-bit integer per lane
    using State = typename Body::State; // a lane's registers, vectors only
    using Last = typename Body::Last;   // what a block's last step found, as lane bits
    static constexpr int LANES = Ops::LANES;
    static constexpr unsigned ALL_LANES = (1u << LANES) - 1;
    // points a round may take, and read: vector v reads a whole vector from the point after
    // those the vectors before it took, so never past the round's last point
    static constexpr std::size_t ROUND = std::size_t{VECTORS} * LANES;
    static constexpr std::size_t STAGED = 512;    // answers staged before a flush
    static constexpr int PHASE = STEPS / VECTORS; // steps between one vector's round and the next's
    // the steps of a phase taken on their own before the others: see block
    static constexpr int PEELED = Body::FIRST_STEP_DIFFERS ? 1 : 0;
    // blocks within which a lane finishes any point it takes: it reaches the limit by then
    static constexpr std::size_t BLOCKS_A_POINT = (Body::MOST_TESTS + STEPS - 1) / STEPS;
    static_assert(STEPS >= 1 && STEPS <= Body::MOST_STEPS, "counts that fit their bits");
    static_assert(STEPS % VECTORS == 0, "every vector's round after a phase of its own");
    static_assert(PHASE >= 2, "a first step after each round, and a last before the next");

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
        : m_re(re), m_im(im), m_counts(counts), m_n(n),
          // every BLOCKS_A_POINT blocks each lane takes a point, while there are any
          m_mostBlocks((n / ROUND + 2) * BLOCKS_A_POINT)
    {
        m_progress.re = re;
        m_progress.im = im;
        m_progress.keys = Ops::broadcastIndex(Body::fresh(0));
        for (std::size_t i = 0; i < std::size(Body::CONSTANTS); ++i) {
            m_constants[i] = Ops::broadcast(Body::CONSTANTS[i]);
        }
    }

    void runAll()
    {
        if (m_n < ROUND) {
            takeTheTail();
        }
        eachVector([&](auto v) {
            Body::clear(m_flight[v].state);
            m_flight[v].cr = m_flight[v].ci = Ops::broadcast(0.0);
            // the tail's checks hold anywhere; no lane has a point to keep
            refill<true>(m_flight[v], Body::NONE_KEPT, v, ALL_LANES, m_progress);
        });
        while (m_progress.active > 0) {
            if (!m_inTail && m_n - m_progress.next < ROUND) {
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

    // A vector of lanes in flight: their registers, and their points' c.
    struct InFlight {
        State state;
        Vec cr;
        Vec ci;
    };

    struct Progress {
        std::size_t next = 0;   // the next point to hand out
        std::size_t active = 0; // lanes holding a point
        std::size_t staged = 0; // answers in the staging buffer
        std::size_t blocks = 0; // blocks run
        // where the next point's c is read: the caller's arrays, or the tail's copy
        const double* re = nullptr;
        const double* im = nullptr;
        Index keys{};                // the next point's key, in every lane
        unsigned idle[VECTORS] = {}; // each vector's lanes that hold no point: only in the tail
    };

    // Runs the lanes until the staging buffer may not hold another block's answers, or no lane
    // holds a point, or (out of the tail) a block may find too few points left for every lane.
    // The lanes' state is copied into locals, which the compiler keeps in registers: nothing
    // here calls out. TAIL says whether the tail is being run: out of it, every lane holds a
    // point and every finished one takes the next, so the rounds skip the tail's checks.
    template <bool TAIL>
    void advance()
    {
        InFlight flight[VECTORS];
        eachVector([&](auto v) { flight[v] = m_flight[v]; });
        Progress progress = m_progress;
        while (progress.staged <= STAGED && progress.active > 0 &&
               (TAIL || m_n - progress.next >= ROUND)) {
            // a fault that keeps lanes from finishing stops here, not in a loop without end
            STAVENWICK_ASSERT(++progress.blocks <= m_mostBlocks);
            block<TAIL>(flight, progress);
        }
        eachVector([&](auto v) { m_flight[v] = flight[v]; });
        m_progress = progress;
    }

    // STEPS steps of every vector, the vectors interleaved so that their chains overlap, and a
    // round for each: vector p's after the p-th of VECTORS phases. A phase's steps take the
    // vectors from p on, so that vector p's last step comes first and its round starts early,
    // and the vector whose round came last steps last, its points' c in place by then. A
    // phase's first step is the first since its round for that vector, which a Body may take
    // otherwise (Body::FIRST_STEP_DIFFERS); where none does, the loop is left as it was.
    template <bool TAIL>
    LUMIVAR_LANE_STEP void block(InFlight (&flight)[VECTORS], Progress& progress)
    {
        eachVector([&](auto p) {
            constexpr int P = decltype(p)::value;
            constexpr int ROUNDED = (P + VECTORS - 1) % VECTORS;
            if constexpr (PEELED != 0) {
                eachVector([&](auto i) {
                    constexpr int V = (P + decltype(i)::value) % VECTORS;
                    this->template step<false, V == ROUNDED>(flight[V]);
                });
            }
            for (int step = PEELED; step < PHASE - 1; ++step) {
                eachVector([&](auto i) {
                    constexpr int V = (P + decltype(i)::value) % VECTORS;
                    this->template step<false, false>(flight[V]);
                });
            }
            Last last{};
            eachVector([&](auto i) {
                constexpr int V = (P + decltype(i)::value) % VECTORS;
                if constexpr (V == P) {
                    last = this->template step<true, false>(flight[V]);
                } else {
                    this->template step<false, false>(flight[V]);
                }
            });
            round<TAIL>(flight[P], last, P, progress);
        });
    }

    // Vector v's finished lanes hand their answers over and take the next points.
    template <bool TAIL>
    LUMIVAR_LANE_STEP void round(InFlight& vector, const Last& last, int v, Progress& progress)
    {
        const unsigned finished = Body::finished(vector.state, last);
        if (Ops::SKIP_IDLE && finished == 0) {
            return;
        }
        stage<TAIL>(vector.state, last, v, finished, progress);
        refill<TAIL>(vector, last, v, finished, progress);
    }

    // A step of vector's lanes: LAST says whether the round comes next, FIRST whether one came
    // last.
    template <bool LAST, bool FIRST>
    LUMIVAR_LANE_STEP Last step(InFlight& vector) const
    {
        return Body::template step<LAST, FIRST>(vector.state, vector.cr, vector.ci, m_constants);
    }

    // The answers of the lanes named of vector v, packed after those already staged.
    template <bool TAIL>
    LUMIVAR_LANE_STEP void stage(const State& state, const Last& last, int v, unsigned lanes,
                                 Progress& progress)
    {
        Ops::storeIndex(m_staging + progress.staged,
                        Ops::compress(Body::answers(state, last), lanes));
        progress.staged += Ops::popcount(lanes);
        if (TAIL) { // out of the tail, each takes the next point at once
            progress.active -= Ops::popcount(lanes & ~progress.idle[v]);
        }
    }

    // The next points, in order, into the lanes named of vector v; in the tail, lanes past the
    // last point take the key n and c = 0 (the zeros after the tail's copy).
    template <bool TAIL>
    LUMIVAR_LANE_STEP void refill(InFlight& vector, const Last& last, int v, unsigned lanes,
                                  Progress& progress)
    {
        vector.cr = Ops::expandInto(vector.cr, lanes, Ops::loadu(progress.re));
        vector.ci = Ops::expandInto(vector.ci, lanes, Ops::loadu(progress.im));
        // each named lane's key, in the order the lanes take the points: from a table, where a
        // permutation of the keys in order would cost the round more
        Index keys = Ops::addIndex(progress.keys, Ops::loadIndex(KEYS.placed[lanes]));
        std::size_t taken = Ops::popcount(lanes);
        if (TAIL) {
            if (m_n - progress.next < taken) {
                taken = m_n - progress.next;
                keys = Ops::blendIndex(keys, Ops::broadcastIndex(Body::fresh(m_n)),
                                       withoutFirst(lanes, taken));
            }
            progress.idle[v] = (progress.idle[v] & ~lanes) | withoutFirst(lanes, taken);
            progress.active += taken;
        }
        Body::restart(vector.state, last, lanes, keys);
        progress.keys = Ops::addIndex(progress.keys, Ops::loadIndex(KEYS.taken[taken]));
        progress.next += taken;
        progress.re += taken;
        progress.im += taken;
    }

    // What a round adds to the next point's key: for each set of lanes, each named lane's
    // place among them (placed), and for each count of points, the keys they take (taken).
    // Loads from tables, where a broadcast of a count would cost the round's shuffle port.
    struct KeyTables {
        std::int64_t placed[1u << LANES][LANES];
        std::int64_t taken[LANES + 1][LANES];
    };
    static constexpr KeyTables keyTables()
    {
        KeyTables tables{};
        for (unsigned lanes = 0; lanes < (1u << LANES); ++lanes) {
            std::int64_t place = 0;
            for (int lane = 0; lane < LANES; ++lane) {
                if ((lanes >> lane & 1u) != 0) {
                    tables.placed[lanes][lane] = place++ * Body::KEY_STEP;
                }
            }
        }
        for (int points = 0; points <= LANES; ++points) {
            for (int lane = 0; lane < LANES; ++lane) {
                tables.taken[points][lane] = points * Body::KEY_STEP;
            }
        }
        return tables;
    }
    alignas(64) static constexpr KeyTables KEYS = keyTables();

    // The lanes of `lanes` after its first `first`.
    static unsigned withoutFirst(unsigned lanes, std::size_t first)
    {
        for (std::size_t i = 0; i < first; ++i) {
            lanes &= lanes - 1;
        }
        return lanes;
    }

    // The points left, fewer than a round may read, copied where whole vectors can be read.
    void takeTheTail()
    {
        const std::size_t left = m_n - m_progress.next;
        for (std::size_t i = 0; i < ROUND + LANES; ++i) {
            m_tail[0][i] = i < left ? m_re[m_progress.next + i] : 0.0;
            m_tail[1][i] = i < left ? m_im[m_progress.next + i] : 0.0;
        }
        m_progress.re = m_tail[0];
        m_progress.im = m_tail[1];
        m_inTail = true;
    }

    // Writes the staged answers to counts. Where the path's vectors decode several at once
    // (Ops::PLAIN_AT_ONCE), they do, as long as every one of them is plain: its point before n,
    // its count one that needs no more (Ops::writePlain); the others go one by one.
    void flush()
    {
        std::size_t i = 0;
        if constexpr (Ops::PLAIN_AT_ONCE > 1) {
            for (; i + Ops::PLAIN_AT_ONCE <= m_progress.staged; i += Ops::PLAIN_AT_ONCE) {
                if (!Ops::template writePlain<Body>(m_staging + i, m_n, m_counts)) {
                    for (std::size_t j = i; j < i + Ops::PLAIN_AT_ONCE; ++j) {
                        write(m_staging[j]);
                    }
                }
            }
        }
        for (; i < m_progress.staged; ++i) {
            write(m_staging[i]);
        }
        m_progress.staged = 0;
    }

    // Writes one answer, asking the definition where it says so, and for a count of 0 whose c
    // is NaN: a body's compares take NaN for far outside, where the definition never lets it
    // escape.
    void write(std::int64_t answer)
    {
        const std::size_t point = Body::point(answer);
        if (point < m_n) {
            std::int32_t count = Body::count(answer);
            if (count <= 0 && (count < 0 || std::isnan(m_re[point]) || std::isnan(m_im[point]))) {
                count = countByDefinition<Ops>(m_re[point], m_im[point]);
            }
            m_counts[point] = count;
        }
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
    std::size_t m_mostBlocks; // more than the points can take
    Progress m_progress;
    bool m_inTail = false; // fewer points left than a round may read
    InFlight m_flight[VECTORS];
    // the Body's constants, each in a whole vector
    Vec m_constants[std::size(Body::CONSTANTS)];
    // room for a whole vector's store past a full round
    alignas(64) std::int64_t m_staging[STAGED + ROUND + LANES];
    // the last points, and zeros that a whole vector's load may read past them
    alignas(64) double m_tail[2][ROUND + LANES];
};

} // namespace stavenwick::escapeKernel
