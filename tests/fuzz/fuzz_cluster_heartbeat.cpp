// Heartbeat datagrams come from the network. Every input is offered three times: as it is (which
// exercises the size and signature checks); signed with the cluster's key, so that the decoder
// behind the signature check sees arbitrary bytes too; and, when it is long enough, with its send
// time set to now and its echo set to the receiver's boot id before signing, so that inputs reach
// the replay, echo and update paths that a random boot id and the clock would otherwise guard.
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <chrono>
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

  auto offer_signed = [&](std::string body) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int mac_len = 0;
    HMAC(EVP_sha256(), key, static_cast<int>(strlen(key)),
         reinterpret_cast<const unsigned char *>(body.data()), body.size(), mac, &mac_len);
    body.append(reinterpret_cast<const char *>(mac), mac_len);
    tovi_cluster_heartbeat_receive(cluster, body.data(), body.size(), now_ms);
  };
  std::string body(reinterpret_cast<const char *>(data), size);
  offer_signed(body);
  // magic, version, name length, name, id, boot id, seq, config seq | sent at | boot time | echo
  size_t sent_at = size > 5 ? 4 + 1 + 1 + size_t(data[5]) + 16 + 16 + 8 + 8 : size;
  size_t echo = sent_at + 8 + 8;
  if (echo + 16 <= size) {
    uint64_t now = uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count());
    for (int i = 0; i < 8; i++)
      body[sent_at + size_t(i)] = char(now >> (56 - 8 * i));
    uint8_t boot_id[16];
    tovi_cluster_get_boot_id(cluster, boot_id);
    body.replace(echo, 16, reinterpret_cast<const char *>(boot_id), 16);
    offer_signed(body);
  }
  tovi_cluster_tick(cluster, now_ms);
  return 0;
}
