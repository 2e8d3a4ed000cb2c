// The video node with no camera behind it (model = "stub"): the node exists, and every request on
// it fails with ENOTTY, as on a node whose driver takes no requests.
#include <array>

#include "../registry.h"

namespace tsim {

namespace {

class VideoStub final : public VideoModel {
 public:
  static constexpr std::array<Key, 0> kKeys{};
  VideoStub(const ModelEntry &, Board &) {}
  FrameSize sensor() const override { return {}; }
  FrameSize offer(FrameSize) const override { return {}; }
  FrameSizes sizes() const override { return {}; }
  double rate_hz() const override { return 0; }
  void render(std::span<std::uint8_t>, FrameSize, std::uint64_t) override {}
};

const RegisterModel<VideoStub> kRegister("stub");

}  // namespace

}  // namespace tsim
