// The whole render of the program's scene, escape counts, colours and the file on disk, on each
// kernel path: the program's speed on a CPU of each kind, less its start and exit.
#include "app/Scene.h"
#include "render/LumivarCreator.h"
#include "render/kernel/EscapeKernel.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include <unistd.h> // mkdtemp, rmdir, unlink

namespace {

using stavenwick::escapeKernel::Path;

void render(benchmark::State& state, Path path)
{
    if (!stavenwick::escapeKernel::supported(path)) {
        state.SkipWithError("this CPU cannot run this path");
        return;
    }
    const Path before = stavenwick::escapeKernel::selected();
    stavenwick::escapeKernel::select(path);
    std::string directory = "/tmp/lumivar-bench-XXXXXX";
    if (::mkdtemp(directory.data()) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string file = directory + "/test.bmp";
    const stavenwick::Scene scene = stavenwick::Scene::fixed();
    std::ostringstream progress; // the console text, kept out of the report
    for (auto _ : state) {
        stavenwick::LumivarCreator creator(scene.width, scene.height);
        scene.addRangesTo(creator);
        scene.pushZoomsTo(creator);
        stavenwick::FileError error;
        if (!creator.render(file, error, progress)) {
            state.SkipWithError("the file could not be written");
            break;
        }
        progress.str("");
    }
    stavenwick::escapeKernel::select(before);
    ::unlink(file.c_str());
    ::rmdir(directory.c_str());
    // pixels per second: every row reports the same counters, as the CSV output requires
    state.SetItemsProcessed(state.iterations() * scene.width * scene.height);
}

BENCHMARK_CAPTURE(render, scalar, Path::Scalar)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(render, portable, Path::Portable)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(render, sse2, Path::Sse2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(render, avx2, Path::Avx2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(render, avx512, Path::Avx512)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
