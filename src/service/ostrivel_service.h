// The pipeline: enrols, runs the producers and the uploader, turns samples and events into
// outbox records, and starts over with a new enrolment when the credential dies.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "delivery/file_uploader.h"
#include "enrolment/agent_state_store.h"
#include "enrolment/identity.h"
#include "enrolment/initializer.h"
#include "infra/clock.h"
#include "infra/data.h"
#include "infra/file_system.h"
#include "infra/logger.h"
#include "measurement/apps_registry.h"
#include "measurement/events.h"
#include "measurement/sampler.h"
#include "records/bucket_accumulator.h"
#include "service/service_pipeline.h"

namespace ostrivel {

class OstrivelService : public ServicePipeline {
 public:
  static constexpr std::size_t kControlQueueLimit = 256;

  OstrivelService(Logger& logger, Events& events, Sampler& sampler, FileSystem& files, AppsRegistry& catalogue,
                  const Clock& clock, AgentStateStore& state, Initializer& initializer, FileUploader& uploader,
                  Identity& identity, const std::string& dataDirectory, std::int32_t samplingWindowSeconds);
  OstrivelService(const OstrivelService&) = delete;
  OstrivelService& operator=(const OstrivelService&) = delete;
  ~OstrivelService() override;

  bool run(std::stop_token stop) override;
  void sessionChanged(const std::string& name) override;
  void suspending() override;

  // The producers' callbacks: a "sample" from the sampler's thread, an "event" from the events
  // source (always under its lock, which also guards the per-day event numbers). An exception
  // inside either is logged, and the sample or event dropped.
  void onSample(const Data& sample);
  void onEvent(const Data& event);

 private:
  void runPipeline(std::stop_token stop);
  void stopPipeline();
  void rebuildEventSequences();
  void foldSample(const Data& sample);
  void recordEvent(const Data& event);
  void flush();
  void writeBucket(const BucketRecord& bucket);
  bool writeToOutbox(const Data& record);
  void controlWorker(std::stop_token stop);

  Logger& logger;
  Events& events;
  Sampler& sampler;
  FileSystem& files;
  AppsRegistry& catalogue;
  const Clock& clock;
  AgentStateStore& state;
  Initializer& initializer;
  FileUploader& uploader;
  Identity& identity;
  const std::string dataDirectory;
  const std::string outboxDirectory;
  const std::string historyDirectory;
  const std::int32_t samplingWindowSeconds;

  BucketAccumulator accumulator{10};
  // Serialises writing a days record with its apps record, and the catalogue reset.
  std::mutex recordsMutex;

  std::mutex pipelineMutex;
  std::condition_variable_any pipelineCondition;
  bool restart = false;  // under pipelineMutex

  // Only the sampling thread touches these.
  std::int32_t cadence = 1;
  std::int32_t samplesSinceWrite = 0;

  // Last sequence number per UTC day; guarded by the events source's lock.
  std::map<std::string, std::int32_t> eventSequences;

  std::mutex controlMutex;
  std::condition_variable_any controlCondition;
  std::deque<std::string> controlQueue;  // a name, or empty for a flush
  std::uint64_t enqueued = 0;
  std::uint64_t processed = 0;
  // Declared last: destroyed first, so the worker is joined before anything it uses goes.
  std::jthread worker;
};

}  // namespace ostrivel
