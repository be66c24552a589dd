// The pipeline: enrols, runs the producers and the uploader, turns samples and events into
// outbox records, and starts over with a new enrolment when the credential dies.
#include "service/ostrivel_service.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <vector>

#include "delivery/outbox_files.h"
#include "records/payload_time.h"
#include "records/record_builders.h"
#include "records/record_writer.h"
#include "records/time_keys.h"

namespace ostrivel {

namespace {

// "events" + UTC day (8 digits) + sequence (6 digits) + ".json".
bool parseEventsName(const std::string& name, std::string& day, std::int32_t& sequence) {
  constexpr std::size_t kLength = 25;
  if (name.size() != kLength || name.compare(0, 6, "events") != 0 || name.compare(20, 5, ".json") != 0) {
    return false;
  }
  const std::string digits = name.substr(6, 14);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  day = digits.substr(0, 8);
  sequence = std::stoi(digits.substr(8));
  return true;
}

bool isEmptyAnswer(const nlohmann::json& answer) {
  return answer.is_null() || ((answer.is_object() || answer.is_array()) && answer.empty());
}

// The message of the exception being handled, for the log line that is its only report.
std::string currentError() {
  try {
    throw;
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown exception";
  }
}

}  // namespace

OstrivelService::OstrivelService(Logger& loggerIn, Events& eventsIn, Sampler& samplerIn, FileSystem& filesIn,
                                 AppsRegistry& catalogueIn, const Clock& clockIn, AgentStateStore& stateIn,
                                 Initializer& initializerIn, FileUploader& uploaderIn, Identity& identityIn,
                                 const std::string& dataDirectoryIn, std::int32_t samplingWindowSecondsIn)
    : logger(loggerIn),
      events(eventsIn),
      sampler(samplerIn),
      files(filesIn),
      catalogue(catalogueIn),
      clock(clockIn),
      state(stateIn),
      initializer(initializerIn),
      uploader(uploaderIn),
      identity(identityIn),
      dataDirectory(dataDirectoryIn),
      outboxDirectory(dataDirectoryIn + "\\outbox"),
      historyDirectory(dataDirectoryIn + "\\history"),
      samplingWindowSeconds(samplingWindowSecondsIn) {}

OstrivelService::~OstrivelService() {
  if (worker.joinable()) {
    worker.request_stop();
    worker.join();
  }
}

bool OstrivelService::run(std::stop_token stop) {
  if (!worker.joinable()) {
    worker = std::jthread([this](std::stop_token workerStop) { controlWorker(workerStop); });
  }
  try {
    runPipeline(stop);
    return true;
  } catch (...) {
    logger.error("[service] pipeline failed: " + currentError());
  }
  // Nothing started may outlive run, so the host can report the service stopped.
  try {
    stopPipeline();
  } catch (...) {
    logger.error("[service] pipeline failed to stop: " + currentError());
  }
  return false;
}

void OstrivelService::runPipeline(std::stop_token stop) {
  std::int32_t leftovers = 0;
  for (const std::string* directory : {&outboxDirectory, &historyDirectory, &dataDirectory}) {
    leftovers += removeStaleTemporaries(files, *directory, clock.nowMs());
  }
  if (leftovers > 0) {
    logger.info("[service] " + std::to_string(leftovers) + " stale temporary files removed");
  }
  rebuildEventSequences();
  uploader.setOnCredentialDead([this] {
    // Set and notified under the mutex: a notification between run's check and its wait
    // would otherwise be lost, and the pipeline would never restart.
    std::lock_guard lock(pipelineMutex);
    restart = true;
    pipelineCondition.notify_all();
  });

  for (;;) {
    if (stop.stop_requested() || !initializer.ensureReady(identity, stop)) {
      return;
    }
    {
      std::lock_guard lock(pipelineMutex);
      restart = false;
    }
    {
      // Every start describes all applications again.
      std::lock_guard lock(recordsMutex);
      catalogue.forgetAll();
    }
    logger.info("[service] pipeline starting");
    uploader.start(outboxDirectory, historyDirectory);
    events.start([this](const Data& event) { onEvent(event); });
    sampler.start([this](const Data& sample) { onSample(sample); }, samplingWindowSeconds, 3, 5);
    {
      std::unique_lock lock(pipelineMutex);
      pipelineCondition.wait(lock, stop, [this] { return restart; });
    }
    logger.info("[service] stopping");
    stopPipeline();
    bool restarting = false;
    {
      // Read only once the uploader has stopped: its last answer may have ended the credential.
      std::lock_guard lock(pipelineMutex);
      restarting = restart;
    }
    if (!restarting) {
      return;
    }
    initializer.dropCredential();
  }
}

void OstrivelService::stopPipeline() {
  // The sampler first: a sample between the last flush and its stop would open a bucket that is
  // never written.
  sampler.stop();
  try {
    flush();
  } catch (...) {
    logger.error("[service] flush failed: " + currentError());
  }
  events.stop();
  uploader.stop();
}

void OstrivelService::rebuildEventSequences() {
  // Only the outbox counts: once a day's events files were delivered and moved to history, a
  // restart numbers that day's next event 1 again.
  for (const std::string& path : listJson(files, outboxDirectory)) {
    std::string day;
    std::int32_t sequence = 0;
    if (parseEventsName(fileName(path), day, sequence)) {
      auto& highest = eventSequences[day];
      highest = std::max(highest, sequence);
    }
  }
}

void OstrivelService::onSample(const Data& sample) {
  try {
    foldSample(sample);
  } catch (...) {
    logger.warn("[service] sample dropped: " + currentError());
  }
}

void OstrivelService::onEvent(const Data& event) {
  try {
    recordEvent(event);
  } catch (...) {
    logger.warn("[service] event dropped: " + currentError());
  }
}

void OstrivelService::foldSample(const Data& sample) {
  if (const auto closed = accumulator.merge(sample.payload)) {
    writeBucket(*closed);
    samplesSinceWrite = 0;
    return;
  }
  ++samplesSinceWrite;
  cadence = state.cadenceMinutes();
  // Partial records only while uploads go through: queued behind a failing upload they would
  // only pile up ahead of the final record of the same bucket.
  if (samplesSinceWrite >= cadence && uploader.lastUploadOk()) {
    samplesSinceWrite = 0;
    if (const auto partial = accumulator.snapshot()) {
      writeBucket(*partial);
    }
  }
}

void OstrivelService::recordEvent(const Data& event) {
  const std::string day = dayKey(payloadTime(event.payload));
  const std::int32_t sequence = ++eventSequences[day];
  while (eventSequences.size() > 4 && eventSequences.begin()->first != day) {
    eventSequences.erase(eventSequences.begin());
  }
  writeToOutbox(buildEventsRecord(event.payload, clock.utcOffsetMinutes(), static_cast<std::uint32_t>(sequence)));

  const nlohmann::json& payload = event.payload;
  if (payload.is_object() && payload.contains("kind") && payload["kind"] == "suspend") {
    flush();
  }
}

void OstrivelService::flush() {
  if (const auto bucket = accumulator.closeNow()) {
    writeBucket(*bucket);
  }
}

void OstrivelService::writeBucket(const BucketRecord& bucket) {
  std::lock_guard lock(recordsMutex);
  const std::int32_t tz = clock.utcOffsetMinutes();
  writeToOutbox(buildDaysRecord(bucket, tz));

  std::vector<std::string> keys;
  for (const auto& [key, share] : bucket.apps) {
    keys.push_back(key);
  }
  const Data answer = catalogue.describe(keys);
  if (!isEmptyAnswer(answer.payload) &&
      writeToOutbox(buildAppsRecord(answer.payload, clock.nowMs(), clock.utcOffsetMinutes()))) {
    catalogue.markReported();
  }
}

bool OstrivelService::writeToOutbox(const Data& record) {
  if (queueRecord(files, record, outboxDirectory)) {
    return true;
  }
  logger.warn("[service] " + record.name + " not queued, the outbox write failed");
  return false;
}

void OstrivelService::sessionChanged(const std::string& name) {
  {
    std::lock_guard lock(controlMutex);
    if (controlQueue.size() >= kControlQueueLimit) {
      logger.warn("[service] control queue full, " + name + " dropped");
      return;
    }
    controlQueue.push_back(name);
    ++enqueued;
  }
  controlCondition.notify_all();
}

void OstrivelService::suspending() {
  std::uint64_t ticket = 0;
  {
    std::lock_guard lock(controlMutex);
    controlQueue.emplace_back();  // a flush; never refused, the machine is about to sleep
    ticket = ++enqueued;
  }
  controlCondition.notify_all();
  // The service control handler must answer promptly: wait for the flush at most 1.5 s.
  std::unique_lock lock(controlMutex);
  controlCondition.wait_for(lock, std::chrono::milliseconds(1500), [&] { return processed >= ticket; });
}

void OstrivelService::controlWorker(std::stop_token stop) {
  for (;;) {
    std::string entry;
    {
      std::unique_lock lock(controlMutex);
      if (!controlCondition.wait(lock, stop, [this] { return !controlQueue.empty(); })) {
        return;
      }
      entry = std::move(controlQueue.front());
      controlQueue.pop_front();
    }
    try {
      if (entry.empty()) {
        flush();
      } else {
        events.onSessionChange(entry);
      }
    } catch (...) {
      // A failed flush or event must not stop the queue; the suspend waiter still gets its ticket.
      logger.error((entry.empty() ? "[service] flush failed: " : "[service] event dropped: ") + currentError());
    }
    {
      std::lock_guard lock(controlMutex);
      ++processed;
    }
    controlCondition.notify_all();
  }
}

}  // namespace ostrivel
