// Delivers a full outbox to the local web API as fast as the uploader goes and prints the rate.
// Run by tests/bench/upload_bench.sh: upload_bench_windows URL CREDENTIAL [FILES]. It says
// "written" when the backlog is in place, "draining" when the uploader starts and "drained" at
// the end, each a second before the next step, so the script sampling its memory sees the level
// before the drain and the peak during it.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "delivery/api_client.h"
#include "delivery/file_uploader.h"
#include "delivery/retry_schedule.h"
#include "enrolment/agent_state_store.h"
#include "infra/clock_system.h"
#include "infra/windows/file_system_windows.h"
#include "infra/windows/http_request_windows.h"
#include "support/in_memory_registry.h"

namespace {

using namespace ostrivel;

// Counts the deliveries, so the drain's end is known without listing the backlog over and over
// (which would cost this program more than the uploader it watches).
class QuietLogger : public Logger {
 public:
  void log(std::uint32_t level, const std::string& message, const std::string&) override {
    if (level != kLevelInfo) {
      std::fprintf(stderr, "%s\n", message.c_str());
    } else if (message.find(" -> ok") != std::string::npos) {
      ++delivered;
    }
  }
  std::atomic<int> delivered{0};
};

// A ten-minute "days" record of a busy PC, about 1.5 KB.
std::string record(int n) {
  std::string apps;
  for (int i = 0; i < 40; ++i) {
    apps += (i ? ",\n\t\t\"app" : "\t\t\"app") + std::to_string(i) + "\": " + std::to_string(0.01 * (n % 97 + i));
  }
  return "{\n\t\"apps\": {\n" + apps + "\n\t},\n\t\"date\": \"202601051200\",\n\t\"n\": " + std::to_string(n) + "\n}";
}

void say(const char* phase) {
  std::printf("%s\n", phase);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;  // upload_bench_windows URL CREDENTIAL [FILES]
  const int files = argc > 3 ? std::atoi(argv[3]) : 2000;
  const std::filesystem::path root = std::filesystem::temp_directory_path() / "ostrivel-upload-bench";
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  const std::string outbox = (root / "outbox").string();
  const std::string history = (root / "history").string();

  HttpRequestWindows http(argv[1]);
  const Identity identity{"", "bench", argv[2]};
  QuietLogger log;
  ApiClient api(http, identity, log);
  FileSystemWindows fs(root.string());  // confined to its data folder, as the agent's is
  testing::InMemoryRegistry registry;
  AgentStateStore state(registry);
  ClockSystem clock;
  RetrySchedule retry;
  FileUploader uploader(api, fs, state, retry, log, clock, 60);

  fs.ensureDirectory(outbox);
  for (int n = 1; n <= files; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "\\days20260105%06d.json", n);
    fs.writeAtomic(outbox + name, record(n));
  }
  say("written");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  say("draining");
  const auto started = std::chrono::steady_clock::now();
  uploader.start(outbox, history);
  while (log.delivered < files) {
    if (std::chrono::steady_clock::now() - started > std::chrono::minutes(10)) {
      std::fprintf(stderr, "gave up after 10 minutes\n");
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  say("drained");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  uploader.stop();
  const auto delivered = static_cast<double>(fs.list(history).size());
  std::printf("delivered %.0f of %d files in %.2f s: %.0f files per second\n", delivered, files, seconds,
              delivered / seconds);
  std::filesystem::remove_all(root, ignored);
  return 0;
}
