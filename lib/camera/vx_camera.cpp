// Camera: pipeline set-up, V4L2 capture through libv4l2, RGB conversion, JPEG files and
// memory, filters.
#include "tarsa/vx_camera.h"

#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// After <cstdio>: jpeglib.h uses FILE without declaring it.
#include <jpeglib.h>
// After jpeglib.h, which it needs.
#include <jerror.h>

#include "camera/pixels.h"
#include "tarsa/vx_error.h"

namespace {

// The board's pipeline scripts, found on PATH; only their exit status matters.
constexpr const char *kPipesScript = "media-pipes.sh";
constexpr const char *kFormatsScript = "media-formats.sh";

constexpr std::uint32_t kPixelFormat = V4L2_PIX_FMT_YUV420;
static_assert(kPixelFormat == 0x32315559);
constexpr std::uint32_t kField = V4L2_FIELD_INTERLACED;
static_assert(kField == 4);
constexpr unsigned kBuffersAsked = 2;
constexpr int kWaitMs = 1000;
// Timed-out waits after which vx_frameRead gives up: a camera that sends nothing is reported
// after 3 s, and a very slow one cannot keep the frame count from ever reaching zero.
constexpr int kMaxTimeouts = 3;

// take_one_image passes a failure of vx_frameRead on shifted by this much.
constexpr int kReadToTake = 5;
static_assert(VX_CAMERA_READ_DEQUEUE_FAILED - kReadToTake == VX_CAMERA_TAKE_DEQUEUE_FAILED);
static_assert(VX_CAMERA_READ_REQUEUE_FAILED - kReadToTake == VX_CAMERA_TAKE_REQUEUE_FAILED);
static_assert(VX_CAMERA_READ_NO_FRAME - kReadToTake == VX_CAMERA_TAKE_NO_FRAME);
static_assert(VX_CAMERA_READ_FAILED - kReadToTake == VX_CAMERA_TAKE_WAIT_FAILED);

struct buffer {
  void *start;
  std::uint32_t length;
};
enum class Memory { none, mapped, heap };

// Module state; names as the callers' documentation uses them. The descriptor is an int and not
// a UniqueFd: libv4l2 keeps its own record of it, so it must be closed with v4l2_close.
int fd = -1;
int dWidth = VX_CAMERA_WIDTH;
int dHeight = VX_CAMERA_HEIGHT;
std::uint8_t jpegQuality = 70;
const char *jpegFilename = nullptr;
buffer *buffers = nullptr;
unsigned int n_buffers = 0;
Memory buffersMemory = Memory::none;
int initialised = 0;

// The one place where requests reach the driver; a request interrupted by a signal is repeated.
int xioctl(unsigned long request, void *arg) {
  int r;
  do {
    r = v4l2_ioctl(fd, request, arg);
  } while (r == -1 && errno == EINTR);
  return r;
}

std::size_t frame_pixels() {
  if (dWidth <= 0 || dHeight <= 0) return 0;
  return static_cast<std::size_t>(dWidth) * static_cast<std::size_t>(dHeight);
}

// Gives back every buffer held, each the way it was obtained. A failed unmapping stops there and
// leaves that buffer and the ones after it held.
int release_buffers() {
  for (; n_buffers > 0; --n_buffers) {
    buffer &b = buffers[n_buffers - 1];
    if (buffersMemory == Memory::mapped && v4l2_munmap(b.start, b.length) != 0) return -errno;
    if (buffersMemory == Memory::heap) std::free(b.start);
  }
  std::free(buffers);
  buffers = nullptr;
  buffersMemory = Memory::none;
  return 0;
}

// Runs a command through the shell: -1 when the shell cannot be run, else its exit status. A
// script killed by a signal has done its work no more than one that failed: 128 + the signal.
int run_script(const char *command) {
  const int r = std::system(command);
  if (r == -1) return -1;
  return WIFEXITED(r) ? WEXITSTATUS(r) : 128 + WTERMSIG(r);
}

// libjpeg's standard error manager ends the process on a fatal error (a failed write, no
// memory, a size it refuses); a camera program must not die there, so the error comes back here
// and becomes a result.
struct JpegTrap {
  jpeg_error_mgr mgr;  // first: libjpeg passes its address back
  std::jmp_buf jump;
};

[[noreturn]] void jpeg_trap_exit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegTrap *>(cinfo->err)->jump, 1);
}

// Installs the destination of the compressed bytes on a compressor.
using AttachDest = void (*)(j_compress_ptr cinfo, void *dest);

// The one JPEG engine, behind both the file and the memory forms: `rgb` (width x height packed
// RGB) as a baseline JPEG with libjpeg's defaults at `quality`, into the destination that
// `attach` installs. Returns 0, or libjpeg's message code of the error that stopped it (its
// memory is then given back). No object with a destructor lives in this frame: a libjpeg error
// jumps back into it.
int encode(const unsigned char *rgb, int width, int height, int quality, AttachDest attach,
           void *dest) {
  jpeg_compress_struct cinfo{};
  JpegTrap trap;
  cinfo.err = jpeg_std_error(&trap.mgr);
  trap.mgr.error_exit = jpeg_trap_exit;
  if (setjmp(trap.jump) != 0) {
    const int code = trap.mgr.msg_code;
    jpeg_destroy_compress(&cinfo);
    return code != 0 ? code : JERR_OUT_OF_MEMORY;
  }
  jpeg_create_compress(&cinfo);
  attach(&cinfo, dest);
  cinfo.image_width = static_cast<JDIMENSION>(width);
  cinfo.image_height = static_cast<JDIMENSION>(height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  // Refuses a side above JPEG_MAX_DIMENSION before a row is read, so the stride fits; a row's
  // offset fits as the frame does.
  jpeg_start_compress(&cinfo, TRUE);
  const std::size_t stride = 3 * static_cast<std::size_t>(cinfo.image_width);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb + cinfo.next_scanline * stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return 0;
}

// A destination in one block of the heap, doubled when full; the block belongs to whoever set
// the sink up, also after an error.
struct MemorySink {
  jpeg_destination_mgr mgr;  // first: libjpeg passes its address back
  unsigned char *data;
  std::size_t capacity;
  std::size_t size;  // bytes written, once compression has finished
};

MemorySink &sink_of(j_compress_ptr cinfo) {
  return *reinterpret_cast<MemorySink *>(cinfo->dest);
}

void sink_start(j_compress_ptr cinfo) {
  MemorySink &s = sink_of(cinfo);
  s.mgr.next_output_byte = s.data;
  s.mgr.free_in_buffer = s.capacity;
}

// Called with the block full.
boolean sink_grow(j_compress_ptr cinfo) {
  MemorySink &s = sink_of(cinfo);
  void *bigger = s.capacity <= SIZE_MAX / 2 ? std::realloc(s.data, 2 * s.capacity) : nullptr;
  if (bigger == nullptr) {
    cinfo->err->msg_code = JERR_OUT_OF_MEMORY;
    cinfo->err->error_exit(reinterpret_cast<j_common_ptr>(cinfo));
    return FALSE;  // not reached: the error jumps back into the engine
  }
  s.data = static_cast<unsigned char *>(bigger);
  s.mgr.next_output_byte = s.data + s.capacity;
  s.mgr.free_in_buffer = s.capacity;
  s.capacity *= 2;
  return TRUE;
}

void sink_end(j_compress_ptr cinfo) {
  MemorySink &s = sink_of(cinfo);
  s.size = s.capacity - s.mgr.free_in_buffer;
}

// A frame of the camera at a usual quality fits at once.
constexpr std::size_t kJpegFirstBlock = std::size_t{1} << 16;

}  // namespace

extern "C" {

int deviceOpen(void) {
  if (fd != -1) vx_camera_release();
  struct stat st {};
  if (::stat(VX_CAMERA_DEVICE, &st) != 0) return VX_CAMERA_OPEN_NO_NODE;
  if (!S_ISCHR(st.st_mode)) return VX_CAMERA_OPEN_NOT_CHAR;
  // Close-on-exec: a program that later runs others must not hand them the camera.
  fd = v4l2_open(VX_CAMERA_DEVICE, O_RDWR | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd < 0) {
    fd = -1;
    return VX_CAMERA_OPEN_FAILED;
  }
  return VX_CAMERA_OK;
}

int mmapInit(void) {
  release_buffers();
  v4l2_requestbuffers req{};
  req.count = kBuffersAsked;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (xioctl(VIDIOC_REQBUFS, &req) == -1) return errno == EINVAL ? VX_CAMERA_MMAP_REFUSED : -errno;
  if (req.count < kBuffersAsked) return VX_CAMERA_MMAP_TOO_FEW;
  buffers = static_cast<buffer *>(std::calloc(req.count, sizeof(buffer)));
  if (buffers == nullptr) return VX_CAMERA_MMAP_NO_TABLE;
  buffersMemory = Memory::mapped;
  n_buffers = 0;
  for (unsigned i = 0; i < req.count; ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    if (xioctl(VIDIOC_QUERYBUF, &buf) == -1) return -errno;
    buffers[i].length = buf.length;
    void *p = v4l2_mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buf.m.offset);
    if (p == MAP_FAILED) return -errno;
    buffers[i].start = p;
    ++n_buffers;
  }
  return VX_CAMERA_OK;
}

int deviceInit(void) {
  v4l2_capability cap{};
  if (xioctl(VIDIOC_QUERYCAP, &cap) == -1)
    return errno == EINVAL ? VX_CAMERA_INIT_NOT_VIDEO : -errno;
  if (!(cap.capabilities & V4L2_CAP_VIDEO_CAPTURE)) return VX_CAMERA_INIT_NO_CAPTURE;
  if (!(cap.capabilities & V4L2_CAP_STREAMING)) return VX_CAMERA_INIT_NO_STREAMING;

  // Cropping is optional: a driver without it is fine.
  v4l2_cropcap cropcap{};
  cropcap.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (xioctl(VIDIOC_CROPCAP, &cropcap) == 0) {
    v4l2_crop crop{};
    crop.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    crop.c = cropcap.defrect;
    xioctl(VIDIOC_S_CROP, &crop);
  }

  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  fmt.fmt.pix.width = static_cast<std::uint32_t>(dWidth);
  fmt.fmt.pix.height = static_cast<std::uint32_t>(dHeight);
  fmt.fmt.pix.pixelformat = kPixelFormat;
  fmt.fmt.pix.field = kField;
  if (xioctl(VIDIOC_S_FMT, &fmt) == -1) return -errno;
  const int granted_w = static_cast<int>(fmt.fmt.pix.width);
  const int granted_h = static_cast<int>(fmt.fmt.pix.height);
  const int changed = (granted_w != dWidth ? VX_CAMERA_INIT_WIDTH_CHANGED : 0) |
                      (granted_h != dHeight ? VX_CAMERA_INIT_HEIGHT_CHANGED : 0);
  dWidth = granted_w;
  dHeight = granted_h;

  // mmapInit's own 2 and 3 would read as size changes: any failure there has a code of its own.
  // A buffer smaller than a frame would have the conversion read past its end.
  bool usable = mmapInit() == VX_CAMERA_OK;
  for (unsigned i = 0; usable && i < n_buffers; ++i)
    usable = buffers[i].length >= tarsa::pixels::yuv420_bytes(dWidth, dHeight);
  if (!usable) {
    release_buffers();
    return VX_CAMERA_EBUFFERS;
  }
  initialised = 1;
  return changed;
}

int deviceUninit(void) {
  if (const int r = release_buffers(); r != 0) return r;
  initialised = 0;
  return VX_CAMERA_OK;
}

int readInit(unsigned int size) {
  release_buffers();
  buffers = static_cast<buffer *>(std::calloc(1, sizeof(buffer)));
  if (buffers == nullptr) return VX_CAMERA_READINIT_NO_TABLE;
  buffersMemory = Memory::heap;
  buffers[0].length = size;
  buffers[0].start = std::malloc(size);
  if (buffers[0].start == nullptr) return VX_CAMERA_READINIT_NO_MEMORY;
  n_buffers = 1;
  return VX_CAMERA_OK;
}

int userptrInit(unsigned int size) {
  release_buffers();
  v4l2_requestbuffers req{};
  req.count = kBuffersAsked;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_USERPTR;
  if (xioctl(VIDIOC_REQBUFS, &req) == -1)
    return errno == EINVAL ? VX_CAMERA_USERPTR_REFUSED : -errno;
  constexpr unsigned kBlocks = 4;
  buffers = static_cast<buffer *>(std::calloc(kBlocks, sizeof(buffer)));
  if (buffers == nullptr) return VX_CAMERA_USERPTR_NO_TABLE;
  buffersMemory = Memory::heap;
  const std::size_t page = static_cast<std::size_t>(getpagesize());
  const std::size_t rounded = (size + page - 1) / page * page;
  for (n_buffers = 0; n_buffers < kBlocks; ++n_buffers) {
    void *p = nullptr;
    if (posix_memalign(&p, page, rounded) != 0) return VX_CAMERA_USERPTR_NO_BLOCK;
    buffers[n_buffers].start = p;
    buffers[n_buffers].length = size;
  }
  return VX_CAMERA_OK;
}

int vx_camera_init(int *width, int *height) {
  if (width == nullptr || height == nullptr) return VX_CAMERA_INIT_NO_NODE;
  if (fd != -1) vx_camera_release();
  if (const int r = run_script(kPipesScript); r != 0)
    return r < 0 ? VX_CAMERA_INIT_PIPES_NOT_RUN : VX_CAMERA_INIT_PIPES_FAILED;
  char command[64];
  std::snprintf(command, sizeof command, "%s %d %d", kFormatsScript, *width, *height);
  if (const int r = run_script(command); r != 0)
    return r < 0 ? VX_CAMERA_INIT_FORMATS_NOT_RUN : VX_CAMERA_INIT_FORMATS_FAILED;
  if (deviceOpen() != VX_CAMERA_OK) return VX_CAMERA_INIT_NO_NODE;
  dWidth = *width;
  dHeight = *height;
  const int r = deviceInit();
  if (r != VX_CAMERA_OK) {
    *width = dWidth;
    *height = dHeight;
  }
  return r;
}

int vx_camera_release(void) {
  if (fd != -1) deviceUninit();
  const int r = v4l2_close(fd);
  fd = -1;
  return r;
}

int vx_captureStart(void) {
  for (unsigned i = 0; i < n_buffers; ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    if (xioctl(VIDIOC_QBUF, &buf) == -1) return VX_CAMERA_START_QUEUE_FAILED;
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  return xioctl(VIDIOC_STREAMON, &type) == -1 ? VX_CAMERA_START_STREAM_FAILED : VX_CAMERA_OK;
}

int vx_captureStop(void) {
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  return xioctl(VIDIOC_STREAMOFF, &type) == -1 ? VX_CAMERA_STOP_FAILED : VX_CAMERA_OK;
}

int frameRead(unsigned char *rgb) {
  v4l2_buffer buf{};
  buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buf.memory = V4L2_MEMORY_MMAP;
  if (xioctl(VIDIOC_DQBUF, &buf) == -1)
    return errno == EAGAIN ? VX_CAMERA_READ_NO_FRAME : VX_CAMERA_READ_DEQUEUE_FAILED;
  if (buf.index >= n_buffers) {
    // The driver gave a buffer it never granted: nothing sensible can follow.
    std::fprintf(stderr, "vx_camera: frameRead: Assertion `buf.index < n_buffers' failed.\n");
    std::abort();
  }
  if (imageProcess(static_cast<const unsigned char *>(buffers[buf.index].start), rgb) < 0)
    return VX_CAMERA_READ_FAILED;
  if (xioctl(VIDIOC_QBUF, &buf) == -1) return VX_CAMERA_READ_REQUEUE_FAILED;
  return VX_CAMERA_OK;
}

int vx_frameRead(unsigned char *rgb) {
  int still_to_take = 2;
  int timeouts = 0;
  bool converted = false;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, kWaitMs);
    if (ready == -1) {
      if (errno == EINTR) continue;
      return VX_CAMERA_READ_FAILED;
    }
    if (ready == 0) {
      if (++timeouts >= kMaxTimeouts) return converted ? VX_CAMERA_OK : VX_CAMERA_READ_NO_FRAME;
      ++still_to_take;
    }
    const int r = frameRead(rgb);
    if (r == VX_CAMERA_READ_NO_FRAME) continue;
    if (r != VX_CAMERA_OK) return r;
    converted = true;
    if (still_to_take == 0) return VX_CAMERA_OK;
    --still_to_take;
  }
}

int take_one_image(unsigned char *rgb) {
  if (rgb == nullptr || fd == -1) return VX_CAMERA_TAKE_NOT_OPEN;
  if (!initialised) return VX_CAMERA_TAKE_NOT_SET_UP;
  if (vx_captureStart() < 0) return VX_CAMERA_TAKE_START_FAILED;
  int r = vx_frameRead(rgb);
  if (r == VX_CAMERA_READ_NO_FRAME) {
    vx_msg("trying again...\r\n");
    r = vx_frameRead(rgb);
  }
  if (r < 0) return r - kReadToTake;
  return vx_captureStop() < 0 ? VX_CAMERA_TAKE_STOP_FAILED : VX_CAMERA_OK;
}

int imageProcess(const unsigned char *yuv, unsigned char *rgb) {
  if (yuv == nullptr || rgb == nullptr) return VX_CAMERA_PROCESS_NULL;
  tarsa::pixels::yuv420_to_rgb(yuv, rgb, dWidth, dHeight);
  return VX_CAMERA_OK;
}

int save_buffer_to_jpg(const char *filename, unsigned int quality, const unsigned char *rgb) {
  if (quality > 100) return VX_CAMERA_SAVE_BAD_QUALITY;
  jpegQuality = static_cast<std::uint8_t>(quality);
  if (rgb == nullptr) return VX_CAMERA_SAVE_NULL;
  jpegFilename = filename;
  return jpegWrite(rgb) < 0 ? VX_CAMERA_SAVE_FAILED : VX_CAMERA_OK;
}

int jpegWrite(const unsigned char *rgb) {
  if (jpegFilename == nullptr || rgb == nullptr) return VX_CAMERA_WRITE_FAILED;
  std::FILE *out = std::fopen(jpegFilename, "wb");
  if (out == nullptr) return VX_CAMERA_WRITE_FAILED;
  // One write for a whole frame's file rather than libjpeg's 4 KiB pieces.
  std::setvbuf(out, nullptr, _IOFBF, 1 << 16);
  const int r = encode(
      rgb, dWidth, dHeight, jpegQuality,
      [](j_compress_ptr cinfo, void *file) {
        jpeg_stdio_dest(cinfo, static_cast<std::FILE *>(file));
      },
      out);
  const int closed = std::fclose(out);
  return r != 0 || closed != 0 ? VX_CAMERA_WRITE_FAILED : VX_CAMERA_OK;
}

int vx_camera_encode_jpeg(const unsigned char *rgb, int width, int height, int quality,
                          unsigned char **jpeg, std::size_t *size) {
  if (jpeg != nullptr) *jpeg = nullptr;
  if (size != nullptr) *size = 0;
  if (quality < 0 || quality > 100) return VX_CAMERA_ENCODE_BAD_QUALITY;
  if (rgb == nullptr || jpeg == nullptr || size == nullptr) return VX_CAMERA_ENCODE_NULL;
  // Sides above the format's largest are libjpeg's to refuse; a frame whose byte count does not
  // fit a size_t is refused here (only a 32-bit board gets such sizes past libjpeg).
  if (width <= 0 || height <= 0 ||
      static_cast<std::size_t>(width) > SIZE_MAX / 3 / static_cast<std::size_t>(height))
    return VX_CAMERA_ENCODE_BAD_SIZE;
  MemorySink sink{};
  sink.mgr.init_destination = sink_start;
  sink.mgr.empty_output_buffer = sink_grow;
  sink.mgr.term_destination = sink_end;
  sink.capacity = kJpegFirstBlock;
  sink.data = static_cast<unsigned char *>(std::malloc(sink.capacity));
  if (sink.data == nullptr) return VX_CAMERA_ENCODE_FAILED;
  const int r = encode(
      rgb, width, height, quality,
      [](j_compress_ptr cinfo, void *dest) {
        cinfo->dest = static_cast<jpeg_destination_mgr *>(dest);
      },
      &sink);
  if (r != 0) {
    std::free(sink.data);
    return r == JERR_IMAGE_TOO_BIG ? VX_CAMERA_ENCODE_BAD_SIZE : VX_CAMERA_ENCODE_FAILED;
  }
  *jpeg = sink.data;
  *size = sink.size;
  return VX_CAMERA_OK;
}

void vx_camera_free_jpeg(unsigned char *jpeg) {
  std::free(jpeg);
}

void YUV420toYUV444(int width, int height, const unsigned char *yuv420, unsigned char *yuv444) {
  if (width <= 0 || height <= 0 || yuv420 == nullptr || yuv444 == nullptr) return;
  const std::size_t wh = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  const unsigned char *u = yuv420 + wh, *v = yuv420 + wh + wh / 4;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const std::size_t p = static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                            static_cast<std::size_t>(x);
      const std::size_t k =
          static_cast<std::size_t>(((y / 2) * static_cast<long>(width)) / 2 + x / 2);
      yuv444[3 * p] = yuv420[p];
      yuv444[3 * p + 1] = u[k];
      yuv444[3 * p + 2] = v[k];
    }
  }
}

int into_greyscale(unsigned char *rgb) {
  if (rgb == nullptr) return VX_CAMERA_GREY_NULL;
  tarsa::pixels::grey(rgb, frame_pixels());
  return VX_CAMERA_OK;
}

int apply_filter(const unsigned char *src, unsigned char *dst, const int *kernel1,
                 const int *kernel2, int size_x, int size_y) {
  if (src == nullptr) return VX_CAMERA_FILTER_NULL_SRC;
  if (dst == nullptr) return VX_CAMERA_FILTER_NULL_DST;
  if (size_x <= 0 || size_x % 2 == 0) return VX_CAMERA_FILTER_BAD_SIZE_X;
  if (size_y <= 0 || size_y % 2 == 0) return VX_CAMERA_FILTER_BAD_SIZE_Y;
  if (kernel1 == nullptr || kernel2 == nullptr) return VX_CAMERA_FILTER_NULL_KERNEL;
  if (frame_pixels() == 0) return VX_CAMERA_OK;
  tarsa::pixels::filter(src, dst, dWidth, dHeight, kernel1, kernel2, size_x, size_y);
  return VX_CAMERA_OK;
}

}  // extern "C"
