// kelto-bridge's work: the main thread waits for changes of the exported
// variables and publishes them on the schedule; the link's network thread
// applies what arrives (mirrored values, write requests) and announces the
// node after every connect.
//
// Locks: `table_mutex_` is held exclusively only while the table handle is
// reattached and the derived tables are rebuilt (by the main thread, the
// only one that changes them); the network thread uses the table under a
// shared hold. `publish_mutex_` orders publications, so sequence numbers
// leave in the order they were taken. Always table before publish.
#ifndef KELTO_TOOLS_BRIDGE_BRIDGE_H_
#define KELTO_TOOLS_BRIDGE_BRIDGE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "bridge/broker_link.h"
#include "bridge/export_table.h"
#include "bridge/import_table.h"
#include "bridge/options.h"
#include "bridge/publish_schedule.h"
#include "bridge/topics.h"
#include "kelto_live.h"

namespace kelto::bridge {

class Bridge {
 public:
  explicit Bridge(BridgeOptions options);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Runs until `stop` becomes true; returns the process's exit status.
  int Run(const std::atomic<bool>& stop);

 private:
  // Main thread.
  bool AdoptTable();
  void LoseTable();
  void WaitAndPublish();
  void PublishDue();

  // Network thread.
  void OnConnected();
  void OnMessage(std::string_view topic, std::string_view payload);
  void HandleWriteRequest(const ParsedTopic& topic, std::string_view payload);
  void Refuse(const ParsedTopic& topic, const std::string& reason);
  void Subscribe();

  // Either thread; the caller holds publish_mutex_ (and the table, shared or
  // by being the main thread).
  void Announce();
  void PublishSlot(uint32_t slot, bool forced);
  uint64_t NextSequence();

  BridgeOptions options_;
  const std::string run_;
  kelto_live* table_ = nullptr;
  std::string segment_;
  std::unique_ptr<BrokerLink> link_;

  std::shared_mutex table_mutex_;
  std::atomic<bool> attached_{false};
  ExportTable exports_;
  ImportTable imports_;
  uint64_t cursor_ = 0;

  std::mutex publish_mutex_;
  PublishSchedule schedule_{0, 0};
  uint64_t last_sequence_ = 0;
  bool warned_birth_size_ = false;
};

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_BRIDGE_H_
