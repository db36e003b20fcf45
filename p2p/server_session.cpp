// SPDX-License-Identifier: MIT
#include "p2p/server_session.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <span>

#include "base/console_log.h"
#include "base/file_log.h"
#include "platform/clock.h"
#include "platform/thread.h"

namespace brelvane {
namespace {

constexpr uint32_t kLoginSleepMs = 1000;

class SteadyLoginClock final : public LoginClock {
 public:
  uint64_t NowMs() override { return platform::TickMs(); }
  void Sleep(uint32_t ms, const std::function<bool()>& done) override {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), done);
  }
  void Wake() override {
    // Taking the lock orders this wake after a sleeper's look at its flag.
    { std::lock_guard<std::mutex> lock(mu_); }
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
};

// Dumps a login message or acknowledgement to the file log in its fixed form.
void LogMessage(const char* name, const uint8_t* message, const char* body_line) {
  if (!FileLog::Enabled(4)) return;
  const wire::MsgHeader h = wire::DecodeHeader(message);
  Log4("---%s---", name);
  Log4("MsgType=%dMsgIndex=%uUserID=%dMsgLength=%u", h.type, h.index, h.user_id, h.length);
  if (body_line != nullptr) Log4("%s", body_line);
  Log4("===%s===", name);
}

// Peer-list addresses that no peer can have: nothing to connect to, a
// broadcast or multicast address, no port, or this client itself.
bool Unreachable(const wire::NetAddr& tcp, const LocalIdentity& own) {
  return tcp.ip == 0 || tcp.ip == 0xFFFFFFFFu || (tcp.ip >> 28) == 0xE || tcp.port == 0 ||
         (tcp.ip == own.ip && tcp.port == own.tcp_port);
}

}  // namespace

std::unique_ptr<LoginClock> MakeSteadyLoginClock() { return std::make_unique<SteadyLoginClock>(); }

ServerSession::ServerSession(ConfigSettings& settings, IServerLink& link,
                             CandidateList& candidates, ConnectRequestQueue& connect_requests,
                             AutoResetEvent& connector_wake, ServerSessionHooks hooks,
                             std::unique_ptr<LoginClock> clock)
    : settings_(settings),
      link_(link),
      candidates_(candidates),
      connect_requests_(connect_requests),
      connector_wake_(connector_wake),
      hooks_(std::move(hooks)),
      clock_(clock ? std::move(clock) : MakeSteadyLoginClock()),
      last_percent_(-settings.ReportPercentInterval) {}

ServerSession::~ServerSession() { Stop(); }

void ServerSession::SetIdentity(const LocalIdentity& identity) {
  std::lock_guard<std::mutex> lock(identity_mu_);
  identity_ = identity;
}

LocalIdentity ServerSession::identity() const {
  std::lock_guard<std::mutex> lock(identity_mu_);
  return identity_;
}

wire::MsgHeader ServerSession::NextHeader() {
  wire::MsgHeader h;
  h.index = counter_.fetch_add(1, std::memory_order_relaxed);
  h.user_id = user_id();
  h.token = token();
  return h;
}

void ServerSession::Reset() {
  Stop();
  logged_in_.store(false);
  user_id_.store(-1);
  token_.store(0);
  counter_.store(0);
  reporting_.store(false);
  {
    std::lock_guard<std::mutex> lock(progress_mu_);
    last_percent_ = 0;
  }
  stop_.store(false);
}

// --- login ---

void ServerSession::StartLogin() {
  std::lock_guard<std::mutex> lock(runs_mu_);
  if (stop_.load()) return;
  for (auto it = runs_.begin(); it != runs_.end();) {
    if (!it->done.load()) {
      // A login still waiting for the lock will do what this one would.
      if (!it->started.load()) return;
      ++it;
      continue;
    }
    it->thread.join();  // finished already: returns at once
    it = runs_.erase(it);
  }
  LoginRun& run = runs_.emplace_back();
  run.thread = std::thread([this, &run] {
    platform::SetCurrentThreadName("Login");
    {
      std::lock_guard<std::mutex> lock(login_mu_);
      run.started.store(true);
      LoginLocked();
    }
    run.done.store(true);
  });
}

void ServerSession::Stop() {
  stop_.store(true);
  clock_->Wake();
  std::list<LoginRun> runs;
  {
    std::lock_guard<std::mutex> lock(runs_mu_);
    runs.splice(runs.begin(), runs_);
  }
  for (LoginRun& run : runs) run.thread.join();
}

bool ServerSession::Login() {
  std::lock_guard<std::mutex> lock(login_mu_);
  return LoginLocked();
}

bool ServerSession::LoginLocked() {
  const size_t candidates =
      std::min(settings_.MainServerIps.size(), settings_.MainServerPorts.size());
  bool success = logged_in();
  for (size_t i = 0; i < candidates && !success && !stop_.load(); ++i) {
    const std::string& ip = settings_.MainServerIps[i];
    const uint16_t port = settings_.MainServerPorts[i];
    if (!TryServer(ip, port)) continue;
    success = true;
    settings_.SetMainServerIp(ip);
    settings_.MainServerPort.store(port);
    ConsoleLog::Get().Begin(ConsoleLevel::Info) << "登陆服务器 " << ip << ":" << port << " 成功";
    Log3("Logged in to main server %s:%u as user %d", ip.c_str(), port, user_id());
    if (reporting_.load()) {
      // The server has forgotten this client's progress: tell it again.
      {
        std::lock_guard<std::mutex> progress_lock(progress_mu_);
        SendProgressLocked(Percentage(hooks_.progress ? hooks_.progress() : ProgressSample{}));
      }
      SendGetPeer();
    }
  }
  if (!success && !stop_.load()) ConsoleLog::Get().Print(ConsoleLevel::Warning, "登陆服务器失败");
  return logged_in();
}

bool ServerSession::TryServer(const std::string& ip, uint16_t port) {
  link_.SetServerDestination(ip, port);
  const uint64_t began = clock_->NowMs();
  for (int32_t attempt = 0; attempt < settings_.LoginAttemptsPerServer; ++attempt) {
    SendLogin();
    for (int32_t poll = 0; poll < settings_.LoginPollsPerAttempt; ++poll) {
      if (logged_in()) return true;
      clock_->Sleep(kLoginSleepMs, [this] { return stop_.load() || logged_in(); });
      if (stop_.load()) return false;
    }
  }
  // An acknowledgement of the last attempt still belongs to this server.
  if (logged_in()) return true;
  Log2("Login to main server %s:%u failed after %d attempts (%llu ms)", ip.c_str(), port,
       settings_.LoginAttemptsPerServer,
       static_cast<unsigned long long>(clock_->NowMs() - began));
  return false;
}

void ServerSession::SendLogin() {
  const LocalIdentity own = identity();
  wire::Login body;
  body.tcp_port = own.tcp_port;
  body.udp_port = own.udp_port;
  body.ip = own.ip;
  body.udp_port32 = own.udp_port;
  body.seed_hash = own.seed_hash;
  const std::vector<uint8_t> message = wire::BuildLogin(NextHeader(), body);
  LogMessage("CSMessageLogin", message.data(), nullptr);
  Send(message, "CSMessageLogin");
}

// --- intake ---

void ServerSession::OnServerDatagram(const uint8_t* data, size_t length) {
  if (length < wire::kHeaderSize || !wire::ValidateForClient(data)) return;
  const wire::MsgHeader h = wire::DecodeHeader(data);
  // The header may claim more than the datagram holds; never read past it.
  if (length - wire::kHeaderSize < h.length) return;
  switch (h.type) {
    case wire::kLoginAck:
      OnLoginAck(data);
      break;
    case wire::kPeerList:
      OnPeerList(data);
      break;
    case wire::kRelogin:
      OnRelogin();
      break;
    case wire::kConnectRequestSC:
      if (!connect_requests_.Push(data)) Log4("ConnectRequestQueue full, connect request dropped");
      break;
    default:
      break;  // valid, but nothing for the client to do
  }
}

void ServerSession::OnLoginAck(const uint8_t* message) {
  const wire::LoginAck ack = wire::DecodeLoginAck(message);
  char line[64];
  std::snprintf(line, sizeof(line), "ReplyCode=%d UserID=%d", ack.reply_code, ack.user_id);
  LogMessage("SCMessageLoginAck", message, line);
  if (ack.reply_code != 0 || logged_in()) return;
  user_id_.store(ack.user_id);
  token_.store(ack.token);
  logged_in_.store(true);
  clock_->Wake();  // the login procedure need not sleep out its second
}

void ServerSession::OnPeerList(const uint8_t* message) {
  const wire::PeerList list = wire::DecodePeerList(message);
  const int32_t count = std::clamp<int32_t>(list.count, 0, wire::kPeerListRecords);
  const LocalIdentity own = identity();
  const int32_t own_id = user_id();
  auto skip = [&](const wire::PeerRecord& r) {
    if (r.user_id == own_id || (hooks_.in_download_table && hooks_.in_download_table(r.user_id))) {
      return true;
    }
    if (!Unreachable(r.tcp, own)) return false;
    Log2("Peer list record skipped: %s", wire::PeerRecordText(r).c_str());
    return true;
  };
  const std::span<const wire::PeerRecord> read(list.records.data(), static_cast<size_t>(count));
  if (candidates_.AppendNew(read, skip) > 0) connector_wake_.Set();
}

void ServerSession::OnRelogin() {
  logged_in_.store(false);
  if (hooks_.relogin) hooks_.relogin();
  user_id_.store(-1);
  ConsoleLog::Get().Print(ConsoleLevel::Warning, "与服务器连接超时，正在重新登陆服务器");
  StartLogin();
}

// --- sends ---

uint8_t ServerSession::Percentage(const ProgressSample& sample) {
  if (sample.complete) return 100;
  if (!(sample.fraction > 0.0)) return 0;  // also NaN
  if (sample.fraction >= 1.0) return 100;
  return static_cast<uint8_t>(std::floor(sample.fraction * 100.0));
}

void ServerSession::ReportProgress() {
  if (!reporting_.load()) return;
  std::lock_guard<std::mutex> lock(progress_mu_);
  const ProgressSample sample = hooks_.progress ? hooks_.progress() : ProgressSample{};
  const uint8_t percent = Percentage(sample);
  if ((!sample.complete || last_percent_ == 100) &&
      percent - last_percent_ < settings_.ReportPercentInterval) {
    return;
  }
  SendProgressLocked(percent);
}

void ServerSession::SendProgressLocked(uint8_t percent) {
  if (Send(wire::BuildProgress(NextHeader(), percent), "CSMessageProgress")) {
    last_percent_ = percent;
  }
}

void ServerSession::SendGetPeer() {
  Send(wire::BuildHeaderOnly(NextHeader(), wire::kGetPeer), "CSMessageGetPeer");
}

void ServerSession::SendLogout() {
  if (!logged_in()) return;
  Send(wire::BuildHeaderOnly(NextHeader(), wire::kLogout), "CSMessageLogout");
  logged_in_.store(false);
}

void ServerSession::SendConnectRequest(const wire::PeerRecord& failed) {
  const LocalIdentity own = identity();
  wire::ConnectRequest body;
  body.target = failed;
  body.requester.user_id = user_id();
  body.requester.udp = wire::NetAddr{own.ip, own.udp_port, 0};
  // The port field reads as the TCP listen port; the reserved half carries
  // the UDP port.
  body.requester.tcp = wire::NetAddr{own.ip, own.tcp_port, own.udp_port};
  Log4("ConnectRequest for %s", wire::PeerRecordText(failed).c_str());
  Send(wire::BuildConnectRequest(NextHeader(), wire::kConnectRequestCS, body),
       "CSMessageConnectRequest");
}

bool ServerSession::Send(const std::vector<uint8_t>& message, const char* what) {
  if (link_.SendToServer(message.data(), message.size()) >= 0) return true;
  Log2("Sending %s to the main server failed", what);
  return false;
}

}  // namespace brelvane
