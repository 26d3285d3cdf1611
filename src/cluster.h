// cluster: membership of the daemons' cluster and ownership of metrics.
//
// Several daemons can share the metrics through the framework's cluster named "queltd". The
// ownership key of a metric is its 16-byte check UUID followed by its name, the name cut to its
// first 4080 bytes; each key has two owners. A node loads the rulesets of the metrics it owns
// and publishes alerts for a metric only while it is among the metric's live owners. Without
// a configured cluster every metric is owned here and this node is responsible for all of them.
//
// Lies below the brokers, the metric state and the rules, which all ask it who owns what.
#pragma once

#include <cstdint>
#include <string>

#include "tovi/tovi_cluster.h"

// Joins the cluster "queltd" when clustering is configured: starts the framework's clusters,
// registers on_node_updated as the node-update hook "cluster-topology-listener" and attaches the
// heartbeat payload (application 1, key 1). Registers the console command "show cluster metric
// <check uuid> <metric name>" (the metric's owners and live owners). Ends the process with status 1
// when clustering is enabled but no cluster is named "queltd", and with status 2 when the cluster
// configuration cannot be used. Call once, on the main thread, after the console and the network
// listeners are up (the cluster runs on an event-loop thread).
void init_cluster(void);
// Registers GET /cluster[?uuid=&name=]: the nodes as this node sees them and a metric's owners
// (src/cluster_rest.cpp). Called by init_cluster.
void cluster_rest_init(void);

// The node-update hook: logs topology changes on the "debug" stream and changes nothing.
// Returns TOVI_HOOK_CONTINUE. Runs on the cluster's thread.
int on_node_updated(void *closure, uint32_t changes, const tovi_cluster_node_t *node,
                    tovi_cluster_t *cluster, uint64_t old_boot_time_us);

// Whether this node loads the rulesets of the metric: false for an account this daemon does not
// handle; otherwise true without a cluster, else whether this node is one of the key's two
// owners (live or not). When hashval is given it receives the 32-bit hash (seed 1337) of the
// ownership key, the same on every node. A negative name_len means the name is a C string
// (at most its first 4080 bytes are used); a null name counts as empty. Any thread.
bool metrics_do_i_own(uint64_t account_id, const uint8_t check_uuid[16], const char *name,
                      int name_len, uint32_t *hashval);

// Whether this node publishes the metric's alerts now: true for an empty name, a null or all-zero
// check UUID, or without a cluster; otherwise whether this node is among the first two nodes in
// the key's ownership order that are live. The account is not consulted. Names are read as for
// metrics_do_i_own. Any thread.
bool metrics_am_i_responsible(uint64_t account_id, const uint8_t check_uuid[16], const char *name,
                              int len);

// The ownership key of a metric: the 16 check UUID bytes (zeros for a null UUID) followed by the
// name, cut to its first 4080 bytes (names are read as for metrics_do_i_own). Every node builds
// the same key. For consoles and tests; any thread.
std::string metrics_ownership_key(const uint8_t check_uuid[16], const char *name, int len);

// This node's 16-byte id within the cluster "queltd", as the alert documents report it. Without a
// cluster it is the id this node has then: all zero. Written once by init_cluster during start-up;
// any thread afterwards.
const uint8_t *metrics_my_cluster_id(void);
