// SPDX-License-Identifier: MIT
// The launcher's command language on standard input: "quit", "restart",
// "stat", "get <name>", "set <name> <number>".  Words are compared exactly;
// unknown words are ignored.  Every answer is a record at level Interactive.
//
// Thread safety: runs on the main thread only.
#pragma once

#include <istream>
#include <string>

namespace brelvane {

class Application;

enum class CommandResult { Continue, Stop };

class CommandDispatcher {
 public:
  // `app` must outlive the dispatcher.
  explicit CommandDispatcher(Application& app) : app_(app) {}

  // Handles `word`; further words (names, numbers) are read from `in`.  A
  // number that cannot be read after "set" leaves `in` failed, which ends the
  // command loop at its next read.
  CommandResult Dispatch(const std::string& word, std::istream& in);

 private:
  void Stat();
  void Set(std::istream& in);
  void Get(std::istream& in);
  void GetState();
  void GetAverage();

  Application& app_;
};

// The values shown in the console title.
struct TitleValues {
  int32_t user_id = -1;
  uint32_t elapsed_seconds = 0;
  double percentage = 0.0;
  float upload_rate = 0.0f;
  int32_t pending_upload_jobs = 0;
  float download_rate = 0.0f;
  float p2p_rate = 0.0f;
  float http_rate = 0.0f;
  uint32_t server_messages = 0;
  int32_t connections = 0;
  int32_t upload_users = 0;
  int32_t download_users = 0;
  int32_t candidates = 0;
};

// "id:1021 35 45.125% C0.000% U:12.5(3) D:240.0(200.0/40.0) M:17 (5)3|8(20)"
std::string FormatTitle(const TitleValues& v);

}  // namespace brelvane
