// SPDX-License-Identifier: MIT
// Application: the one object that owns the run.  It reads the command
// line, fetches the seed information, starts the network, runs the start
// sequence on StartThread, samples progress on StatusThread, keeps the
// machine awake on PowerWindowThread, and runs the stop sequence after the
// command loop ends.
//
// Process entry (entry/main.cpp) calls, in order: Initialise, LaunchThreads,
// RunCommandLoop, StopSequence.  When Initialise fails, the object is
// destroyed without the stop sequence.
//
// Thread safety: Initialise, RunCommandLoop and StopSequence run on the main
// thread.  The display values (running, state, rates, start time) are
// atomics written by one thread and read by any.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <thread>

#include "base/config.h"
#include "app/services.h"
#include "app/speed_history.h"

namespace brelvane {

// The long-lived services of a run; built once the settings exist.
struct Services {
  std::unique_ptr<ITransport> transport;
  std::unique_ptr<IEngine> engine;
};
using ServiceFactory = std::function<Services(ConfigSettings&)>;

// The services of this build.
Services MakeDefaultServices(ConfigSettings& settings);

class Application {
 public:
  explicit Application(ServiceFactory factory = MakeDefaultServices);
  ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // Reads the configuration, opens the file log, fetches the seed
  // information and starts the network.  False on failure (the state lines
  // 6 or 4, and 16, have been printed).
  [[nodiscard]] bool Initialise(int argc, const char* const* argv);

  // Starts StatusThread, StartThread and PowerWindowThread.
  void LaunchThreads();

  // Reads words from `in` and dispatches them until "quit", "restart", the
  // end of input or a failed read.
  void RunCommandLoop(std::istream& in);

  // State 15, join the threads, report, stop the services, state 16.
  void StopSequence();

  // --- read by the command dispatcher ---
  ConfigSettings& settings() { return settings_; }
  IEngine& engine() { return *engine_; }
  ITransport& transport() { return *transport_; }
  const SpeedHistory& speed_history() const { return speed_history_; }
  float upload_rate() const { return upload_rate_.load(std::memory_order_relaxed); }
  float download_rate() const { return download_rate_.load(std::memory_order_relaxed); }
  uint32_t start_time() const { return start_time_.load(std::memory_order_relaxed); }
  bool running() const { return running_.load(std::memory_order_relaxed); }
  int32_t state() const { return settings_.UpdaterState.load(std::memory_order_relaxed); }

  // Sets the state; announces it with a state line for 4, 6 and 14.
  void SetState(int32_t value);

  // Hands the ten most recent 20-second download averages to the engine.
  void ReportStatistics();

 private:
  void StatusThreadMain();
  void StartThreadMain();
  void PowerWindowThreadMain();
  void RunThread(const char* name, void (Application::*body)());
  // Sleeps up to `ms`; returns early (true) once running is cleared.
  bool SleepUnlessStopped(int ms);
  // Sleeps `ms` like SleepUnlessStopped, but while downloading returns early
  // (false) once the download is complete.
  bool SleepUntilNextTick(int ms);
  static constexpr int kCompletionPollMs = 20;
  void PrintStateLine(int32_t value);
  // Draws the progress line from this cycle's values (StatusThread).
  void DrawProgressLine(float up, float down, double percentage);

  // Construction order matters: the services hold references to settings_.
  ConfigSettings settings_;
  std::unique_ptr<ITransport> transport_;
  std::unique_ptr<IEngine> engine_;
  ServiceFactory factory_;
  SpeedHistory speed_history_;

  std::atomic<bool> running_{false};
  std::atomic<uint32_t> start_time_{0};
  std::atomic<float> upload_rate_{0.0f};
  std::atomic<float> download_rate_{0.0f};
  std::atomic<uint32_t> elapsed_{0};
  bool progress_line_ = false;  // standard error is a terminal; set by Initialise

  std::mutex sleep_mu_;
  std::condition_variable sleep_cv_;

  std::thread status_thread_;
  std::thread start_thread_;
  std::thread power_thread_;
};

}  // namespace brelvane
