// The measuring slots against Wine, on this very program: its busy thread beside Wine's services,
// and its German version strings.
#include <gtest/gtest.h>

#include <filesystem>
#include <latch>

#include "infra/clock_system.h"
#include "infra/windows/text_windows.h"
#include "infra/windows/windows_api.h"
#include "measurement/app_key.h"
#include "measurement/windows/apps_registry_windows.h"
#include "measurement/windows/sampler_windows.h"
#include "measurement/windows/system_facts_windows.h"

namespace ostrivel {
namespace {

using nlohmann::json;

// User plus kernel time of this program, as its own times tell it (Wine tells them only to the
// process itself).
double ownCpuSeconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto ticks = [](const FILETIME& t) { return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e7;
}

// However busy the machine, the share of this program, one thread of which keeps a processor
// busy, is what its own CPU time over the window makes of the window's capacity; the services Wine
// runs are in the sample under their names.
TEST(SamplerWindows, MeasuresABusyProcessAsItsOwnTimesTellBesideTheServicesWineRuns) {
  std::jthread burner([](std::stop_token stop) {
    for (volatile std::uint64_t sink = 0; !stop.stop_requested();) sink = sink + 1;
  });
  ClockSystem clock;
  SamplerWindows sampler(clock);
  const ServiceMap running = sampler.serviceProcesses();
  ASSERT_FALSE(running.empty());
  std::vector<std::pair<json, double>> samples;  // each with this program's CPU seconds as it came
  std::latch arrived(2);
  // A 4 s window with a tick every second; the second sample covers a whole window.
  sampler.start(
      [&](const Data& data) {
        if (samples.size() == 2) return;  // the test reads them once the latch opens
        samples.emplace_back(data.payload, ownCpuSeconds());
        arrived.count_down();
      },
      4, 1, 1);
  arrived.wait();
  sampler.stop();
  const json& sample = samples[1].first;
  const double capacity = (sample["at"].get<double>() - samples[0].first["at"].get<double>()) / 1000.0 *
                          GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  const double own = (samples[1].second - samples[0].second) / capacity * 100.0;
  EXPECT_GT(own, 1.0);
  EXPECT_NEAR(sample["apps"].value("measurement_windows_tests", -100.0), own, 1.0) << sample.dump();
  for (const auto& [pid, names] : running) {
    for (const std::string& name : names) EXPECT_TRUE(sample["services"].contains(appKey(name))) << name;
  }
}

// The program's image name has dots; its strings are German in code page 1252, found only under
// its translation table's 040704e4.
TEST(AppsRegistryWindows, DescribesThisProgramInTheLanguageOfItsTranslationTable) {
  ClockSystem clock;
  AppsRegistryWindows registry(clock);
  json answer = registry.describe({"measurement_windows_tests", "(short-lived)"}).payload;
  json& self = answer["measurement_windows_tests"];
  EXPECT_EQ(self["size"], std::filesystem::file_size(utf8ToWide(executablePath())));  // of the file found
  self.erase("path");
  self.erase("size");
  EXPECT_EQ(answer.dump(), R"~({"(short-lived)":{},"measurement_windows_tests":{"company":"Velbrook Prüfstand",)~"
                           R"("description":"Rechenlast für Tests","originalName":"measurement.windows.tests.exe",)"
                           R"("product":"Ostrivel Testwerk","version":"3.1.4"}})");
}

}  // namespace
}  // namespace ostrivel
