#pragma once
// The fleet answering on the in-memory network: whole surveys in tests and benchmarks, with no
// sockets and in the fake clock's time.

#include <string>
#include <vector>

#include "core/context.h"
#include "fleet/fleet_model.h"
#include "platform/memory/fake_clock.h"
#include "platform/memory/memory_dialog.h"
#include "platform/memory/memory_files.h"
#include "platform/memory/memory_list_view.h"
#include "platform/memory/memory_network.h"
#include "support/choose_list.h"

namespace vyr::fleet {

class MemoryPeer final : public MemoryNetwork::Peer {
 public:
  explicit MemoryPeer(FleetModel& model) : model_(model) {}

  void onDatagram(MemoryNetwork& network, const MemoryNetwork::Datagram& datagram) override {
    replies_.clear();
    model_.handle(datagram.destination, datagram.bytes.data(),
                  static_cast<uint32_t>(datagram.bytes.size()), replies_);
    for (const Reply& reply : replies_) {
      network.deliver(reply.source, reply.bytes.data(), static_cast<uint32_t>(reply.bytes.size()),
                      reply.delayMs);
    }
  }

 private:
  FleetModel& model_;
  std::vector<Reply> replies_;
};

// A whole survey world in memory with the fleet answering: files, dialog, list view, fake clock
// and network, the IP server named in the dialog.
struct MemoryFleetWorld {
  explicit MemoryFleetWorld(const FleetDescription& description) : model(description) {
    network.keepSent = false;
    network.attach(&peer);
    dialog.serverField = "127.0.0.1";
  }

  // Puts a list file in the directory and chooses it, as the operator would.
  void chooseList(const std::string& name, const std::string& text) {
    files.setContents(name, text);
    vyr::testing::chooseListNamed(context, dialog, name);
  }

  FleetModel model;
  MemoryPeer peer{model};
  MemoryFileSystem files;
  MemoryDialog dialog;
  MemoryListView list;
  FakeClock clock;
  MemoryNetwork network{clock};
  Context context{files, dialog, list, clock, network.toolSocket()};
};

}  // namespace vyr::fleet
