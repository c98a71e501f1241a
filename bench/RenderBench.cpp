// The whole render of the program's scene: escape counts, colours and the file on disk.
#include "app/Scene.h"
#include "render/LumivarCreator.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include <unistd.h> // mkdtemp, rmdir, unlink

namespace {

void render(benchmark::State& state)
{
    std::string directory = "/tmp/lumivar-bench-XXXXXX";
    if (::mkdtemp(directory.data()) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    const std::string file = directory + "/test.bmp";
    const stavenwick::Scene scene = stavenwick::Scene::fixed();
    std::ostringstream progress; // the console text, kept out of the report
    std::streambuf* const console = std::cout.rdbuf(progress.rdbuf());
    for (auto _ : state) {
        stavenwick::LumivarCreator creator(scene.width, scene.height);
        scene.addRangesTo(creator);
        scene.pushZoomsTo(creator);
        if (!creator.render(file)) {
            state.SkipWithError("the file could not be written");
            break;
        }
        progress.str("");
    }
    std::cout.rdbuf(console);
    ::unlink(file.c_str());
    ::rmdir(directory.c_str());
    state.counters["pixels"] = static_cast<double>(scene.width) * scene.height;
}

BENCHMARK(render)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
