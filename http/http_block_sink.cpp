// SPDX-License-Identifier: MIT
#include "http/http_block_sink.h"

#include <algorithm>

#include "base/file_log.h"
#include "base/auto_reset_event.h"
#include "base/download_meter.h"
#include "http/http_client.h"
#include "http/http_mirror_table.h"
#include "storage/file_system.h"

namespace brelvane {

// The run goes back only after the blocks this request committed have been
// through the storage worker; released earlier, parts whose data is still
// queued would be handed out and fetched a second time.
HttpBlockSink::~HttpBlockSink() { context_.file_system->ReleaseUidAfterWrites(uid_); }

void HttpBlockSink::OnConnect(const platform::InetAddress& address) {
  address_ = address;
  Log3("Http ip: %s", address.IpText().c_str());
}

bool HttpBlockSink::OnReceive(uint32_t count) {
  if (context_.meter != nullptr) context_.meter->Charge(count, TrafficSource::kHttp, stop_);
  return true;
}

bool HttpBlockSink::OnData(const uint8_t* data, uint32_t length, uint64_t offset) {
  context_.mirrors->CountAddress(address_.ip);
  // CommitWrite takes the observer whatever it answers.
  auto* observer = new HttpWriteObserver(context_.verified);
  return context_.file_system->CommitWrite(uid_.file_id, data, length, offset, observer);
}

bool HttpBlockSink::OnBlocks(HttpBlock* blocks, size_t count) {
  OwnedBlock owned[kHttpBlockBatch];
  size_t done = 0;
  while (done < count) {
    const size_t n = std::min(count - done, kHttpBlockBatch);
    for (size_t i = 0; i < n; ++i) {
      HttpBlock& block = blocks[done + i];
      owned[i] = OwnedBlock(std::move(block.bytes), block.length, block.offset);
    }
    context_.file_system->CheckWholeParts(uid_.file_id, owned, n);
    for (size_t i = 0; i < n; ++i) {
      context_.mirrors->CountAddress(address_.ip);
      auto* observer = new HttpWriteObserver(context_.verified);
      if (!context_.file_system->CommitBlock(uid_.file_id, std::move(owned[i]), observer)) {
        return false;
      }
    }
    done += n;
  }
  return true;
}

void HttpBlockSink::OnDone(HttpClient* client, int64_t result) {
  if (result < 0) {
    context_.work_event->Set();
    if (result == kHttpSinkRefused) {
      Log2("Http writing fail, may be too busy in writing thread");
    } else if (result == kHttpRefused) {
      context_.mirrors->Penalize(mirror_id_, 10);
      Log4("Http Refuse");
    } else if (result == kHttpFailed) {
      Log4("Http Fail");
      context_.mirrors->Penalize(mirror_id_, 5);
    }
  }
  client->Close();
}

}  // namespace brelvane
