// Fuzzes the renderer through its public interface: any small picture size, any zoom steps
// (pixel positions anywhere, scales finite or not) and any range list that keeps the
// documented contract. Every rendered file must equal the plain reference byte for byte, and
// every kernel path must give the definition's count for arbitrary points.
#include "app/Scene.h"
#include "render/LumivarCreator.h"
#include "render/Mandelbrot.h"
#include "render/kernel/EscapeKernel.h"
#include "support/ReferenceRenderer.h"
#include "support/TempDir.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <vector>

namespace {

using stavenwick::Mandelbrot;
using stavenwick::RGB;
using stavenwick::Scene;
using stavenwick::ZoomStep;
namespace escapeKernel = stavenwick::escapeKernel;

// The fuzzer's bytes, read as the values a caller could choose; zeros once they run out.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    template <class T>
    T take()
    {
        T value{};
        const std::size_t count = sizeof(T) < m_size ? sizeof(T) : m_size;
        if (count > 0) {
            std::memcpy(&value, m_data, count);
        }
        m_data += count;
        m_size -= count;
        return value;
    }

    std::size_t left() const { return m_size; }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "lumivar fuzz: %s\n", what);
    std::abort();
}

// A scene within the renderer's contract: two to six boundaries, strictly ascending by at least
// two iterations (so truncating rangeEnd × 1000 keeps them ascending), the last at least 1.0;
// channels from 0 to 255, not always whole.
Scene sceneFrom(Bytes& bytes)
{
    Scene scene{1 + bytes.take<std::uint8_t>() % 64, 1 + bytes.take<std::uint8_t>() % 48, {}, {}};
    const int boundaries = 2 + bytes.take<std::uint8_t>() % 5;
    int boundary = bytes.take<std::uint16_t>() % 1000;
    for (int k = 0; k < boundaries; ++k) {
        if (k == boundaries - 1 && boundary < 1000) {
            boundary = 1000 + bytes.take<std::uint8_t>();
        }
        // one read at a time: the order of a call's arguments is up to the compiler
        const double channel = 255.0 / 65535.0;
        const double red = bytes.take<std::uint16_t>() * channel;
        const double green = bytes.take<std::uint16_t>() * channel;
        const double blue = bytes.take<std::uint16_t>() * channel;
        scene.ranges.push_back({boundary / 1000.0, RGB(red, green, blue)});
        boundary += 2 + bytes.take<std::uint16_t>() % 700;
    }
    const int zooms = bytes.take<std::uint8_t>() % 4;
    for (int z = 0; z < zooms; ++z) {
        const bool inside = bytes.take<std::uint8_t>() % 2 == 0;
        std::int32_t x = bytes.take<std::int32_t>();
        std::int32_t y = bytes.take<std::int32_t>();
        if (inside) {
            x = static_cast<std::int32_t>(static_cast<std::uint32_t>(x) % scene.width);
            y = static_cast<std::int32_t>(static_cast<std::uint32_t>(y) % scene.height);
        }
        const double scale = bytes.take<double>();
        scene.zooms.emplace_back(x, y, scale);
    }
    return scene;
}

// Renders where nothing but this process writes; a RAM disk where there is one.
const std::string& outputPath()
{
    static const std::unique_ptr<stavenwick::testing::TempDir> dir = [] {
        std::cout.setstate(std::ios::badbit); // the progress text would drown the fuzzer's
        const std::filesystem::path shm = "/dev/shm";
        return std::make_unique<stavenwick::testing::TempDir>(
            std::filesystem::is_directory(shm) ? shm : std::filesystem::temp_directory_path());
    }();
    static const std::string path = *dir / "fuzz.bmp";
    return path;
}

void checkRender(const Scene& scene)
{
    stavenwick::LumivarCreator creator(scene.width, scene.height);
    scene.addRangesTo(creator);
    scene.pushZoomsTo(creator);
    if (!creator.render(outputPath())) {
        fail("render could not write its file");
    }
    if (stavenwick::testing::readFile(outputPath()) != stavenwick::testing::referenceBmp(scene)) {
        fail("rendered file differs from the plain reference");
    }
}

void checkKernels(Bytes& bytes)
{
    std::vector<double> re;
    std::vector<double> im;
    while (bytes.left() >= 2 * sizeof(double) && re.size() < 256) {
        re.push_back(bytes.take<double>());
        im.push_back(bytes.take<double>());
    }
    std::vector<std::int32_t> counts(re.size());
    for (const auto path :
         {escapeKernel::Path::Scalar, escapeKernel::Path::Portable, escapeKernel::Path::Sse2,
          escapeKernel::Path::Avx2, escapeKernel::Path::Avx512}) {
        if (!escapeKernel::supported(path)) {
            continue;
        }
        escapeKernel::run(path, re.data(), im.data(), counts.data(), counts.size());
        for (std::size_t i = 0; i < re.size(); ++i) {
            if (counts[i] != Mandelbrot::escapeCount(re[i], im[i])) {
                fail("a kernel path differs from the definition");
            }
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Bytes bytes(data, size);
    checkRender(sceneFrom(bytes));
    checkKernels(bytes);
    return 0;
}
