// The video node with no camera behind it (model = "stub", no keys): the node exists, and every
// request on it fails with ENOTTY, as on a node whose driver takes no requests.
#include <array>
#include <cerrno>

#include "../registry.h"

namespace tsim {

namespace {

class VideoStub final : public VideoModel {
 public:
  static constexpr std::array<Key, 0> kKeys{};
  VideoStub(const ModelEntry &, Board &) {}
  int ioctl(unsigned long, void *) override { return ENOTTY; }
};

const RegisterModel<VideoStub> kRegister("stub");

}  // namespace

}  // namespace tsim
