// SPDX-License-Identifier: MIT
#include "p2p/net/net_transport.h"

#include "base/file_log.h"

namespace brelvane {

NetTransport::NetTransport(ConfigSettings& settings)
    : settings_(settings),
      download_(settings.DownloadLimit.load()),
      upload_(settings.UploadLimit.load()) {}

bool NetTransport::Initialise() {
  download_.set_limit(settings_.DownloadLimit.load());
  upload_.set_limit(settings_.UploadLimit.load());
  return true;
}

void NetTransport::Start() { Log3("TCP server: no peer network in this build"); }

void NetTransport::Stop() {
  download_.Stop();
  upload_.Stop();
}

void NetTransport::Close() {
  download_.Reset();
  upload_.Reset();
}

void NetTransport::RestartUploadWindow() {
  upload_.set_limit(settings_.UploadLimit.load());
  upload_.Restart();
}

void NetTransport::RestartDownloadWindow() {
  download_.set_limit(settings_.DownloadLimit.load());
  download_.Restart();
}

}  // namespace brelvane
