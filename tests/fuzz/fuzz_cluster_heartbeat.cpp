// Heartbeat datagrams come from the network. Every input is offered twice: as it is (which
// exercises the size and signature checks), and signed with the cluster's key, so that the
// decoder behind the signature check sees arbitrary bytes too.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tovi/tovi_cluster.h"
#include "tovi/tovi_memory.h"

namespace {

const char *const key = "fuzzing-key-0123456789";

tovi_cluster_t *make_cluster() {
  tovi_memory_init();
  tovi_cluster_config_t config;
  config.name = "fuzz";
  config.self_id = "00000000-0000-0000-0000-000000000001";
  config.key = key;
  config.boot_time_us = 1;
  for (int i = 1; i <= 3; i++) {
    tovi_cluster_node_config_t n;
    n.id = "00000000-0000-0000-0000-00000000000" + std::to_string(i);
    n.cn = "node" + std::to_string(i);
    n.address = "127.0.0.1";
    n.port = static_cast<uint16_t>(40000 + i);
    config.nodes.push_back(n);
  }
  std::string error;
  tovi_cluster_t *c = tovi_cluster_alloc(config, &error);
  if (!c) abort();
  return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static tovi_cluster_t *cluster = make_cluster();
  static int64_t now_ms = 0;
  now_ms += 10;
  tovi_cluster_heartbeat_receive(cluster, data, size, now_ms);

  std::string signed_datagram(reinterpret_cast<const char *>(data), size);
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int mac_len = 0;
  HMAC(EVP_sha256(), key, static_cast<int>(strlen(key)), data, size, mac, &mac_len);
  signed_datagram.append(reinterpret_cast<const char *>(mac), mac_len);
  tovi_cluster_heartbeat_receive(cluster, signed_datagram.data(), signed_datagram.size(), now_ms);
  tovi_cluster_tick(cluster, now_ms);
  return 0;
}
