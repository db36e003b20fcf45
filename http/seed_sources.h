// SPDX-License-Identifier: MIT
// SeedSources: the lists that the retrieval of the torrent fills and that
// the rest of the run reads: where the main servers are, which HTTP mirrors
// serve the release, and the digest that names the release to the servers.
// The P2P engine holds one for the whole run and passes it by reference.
//
//   configured_mirrors  base URLs from the command line (HttpUrl); read only
//   torrent_name        the torrent's file name on every mirror (Torrent)
//   server_addresses    main-server IPv4 texts from the torrent, appended
//   server_ports        their ports, in step with server_addresses
//   download_mirrors    mirror base URLs from the torrent, newest first; the
//                       HTTP download manager's mirror table is built from it
//   seed_hash           MD5 of the torrent document as received
//
// Thread safety: none; filled on the initialisation thread before any other
// thread reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "catalogue/md5.h"

namespace brelvane {

struct SeedSources {
  static constexpr const char* kDefaultTorrentName = "Seed.torrent";

  std::vector<std::string> configured_mirrors;
  std::string torrent_name = kDefaultTorrentName;
  std::vector<std::string> server_addresses;
  std::vector<uint16_t> server_ports;
  std::vector<std::string> download_mirrors;
  Md5Digest seed_hash;
};

}  // namespace brelvane
