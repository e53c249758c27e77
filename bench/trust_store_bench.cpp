// What a hello from a trusted phone costs the server's thread: `TrustStore::touch` renames the
// phone, marks it seen and saves the list into the real settings file in a scratch folder. Half
// of the runs share the store with a second thread that keeps changing another setting, as the
// interface does while a slider is dragged.
// Run by hand: build/release/bench/trust_store_bench

#include <atomic>
#include <filesystem>
#include <thread>

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include "platform/linux/JsonFileSettingsStore.h"
#include "store/TrustStore.h"

using namespace jolto;
namespace fs = std::filesystem;

namespace {

fs::path scratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "jolto-trust-bench-XXXXXX").string();
    return ::mkdtemp(pattern.data());
}

void touchTrustedPhone(benchmark::State& state) {
    const bool busyInterface = state.range(0) != 0;
    const fs::path folder = scratchFolder();
    {
        JsonFileSettingsStore settings(folder / "settings.json");
        auto trust = TrustStore::load(settings);
        std::vector<Uuid> phones;
        for (int i = 0; i < 4; ++i) {
            phones.push_back(Uuid::random());
            trust.add(phones.back(), "Phone " + std::to_string(i), Uuid::random());
        }
        std::atomic<bool> stop{false};
        std::thread slider;
        if (busyInterface) {
            slider = std::thread([&] {
                for (int i = 0; !stop; ++i) {
                    settings.setNumber("rumbleStrength", (i % 100) / 100.0);
                }
            });
        }
        std::size_t n = 0;
        for (auto _ : state) {
            trust.touch(phones[n++ % phones.size()], "Phone");
        }
        stop = true;
        if (slider.joinable()) {
            slider.join();
        }
    }
    fs::remove_all(folder);
}

} // namespace

BENCHMARK(touchTrustedPhone)->Arg(0)->Arg(1)->ArgName("busyInterface")->UseRealTime();

BENCHMARK_MAIN();
