/* Camera: still frames from the board's V4L2 capture node, RGB conversion, JPEG files and
   memory, filters. */
#ifndef TARSA_VX_CAMERA_H
#define TARSA_VX_CAMERA_H

#include <stddef.h>

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/*
 * One camera per process, meant for one thread (vx_camera_encode_jpeg() excepted). The module holds
 * the frame size (752 x 480 until vx_camera_init() is told otherwise and the driver agrees), which
 * every operation below uses: frames are packed RGB, 3 bytes per pixel in the order R, G, B, rows
 * top to bottom with no gap, width x height x 3 bytes, in buffers that the caller owns. The
 * function names without a prefix are the ones existing callers use, and are kept.
 */

/** Capture node, and the frame size used until the driver grants another. */
#define VX_CAMERA_DEVICE "/dev/video6"
#define VX_CAMERA_WIDTH 752
#define VX_CAMERA_HEIGHT 480

/**
 * Result of vx_camera_init() and deviceInit() when the capture buffers could not be set up
 * (the driver refused or granted fewer than 2, a buffer could not be queried or mapped, or is
 * smaller than a frame, or no memory). Outside the range of errno values.
 */
#define VX_CAMERA_EBUFFERS (-200)

/**
 * Sets up the media pipeline ("media-pipes.sh", then "media-formats.sh WIDTH HEIGHT", each run
 * through the shell), opens VX_CAMERA_DEVICE and asks for planar YUV 4:2:0 frames of
 * *width x *height pixels with 2 memory-mapped buffers. A camera still open from an earlier
 * call is released first.
 * @return 0 when the driver granted the size asked; 1 when it changed the width, 2 the height,
 *         3 both (the granted size is then written back to *width and *height and used from now
 *         on); -5 / -7 when the shell could not run "media-pipes.sh" / "media-formats.sh"; -6 /
 *         -8 when it ended with a non-zero status; -4 when the node is missing, no character
 *         device or cannot be opened; -1 when the node refuses the capability query (EINVAL);
 *         -2 without the capture capability; -3 without streaming; minus errno when the
 *         capability query or the format request fails otherwise; VX_CAMERA_EBUFFERS. After a
 *         failure past the open, the node stays open until vx_camera_release(). A script killed
 *         by a signal counts as one that failed; NULL `width` or `height` gives -4 at once.
 */
TARSA_API int vx_camera_init(int *width, int *height);

/**
 * Unmaps the buffers and closes the node.
 * @return the result of closing: 0, or -1 when it fails, also when no camera was open.
 */
TARSA_API int vx_camera_release(void);

/**
 * Captures one frame into `rgb`: queues the buffers, starts the stream, reads frames (see
 * vx_frameRead()), stops the stream. When no frame came it prints "trying again..." and reads
 * once more.
 * @return 0; -1 when `rgb` is NULL or no camera is open; -2 when the camera is not set up
 *         (vx_camera_init() failed); -3 when queuing or starting failed; -5 when stopping
 *         failed; -7 when a dequeue failed, -8 a requeue, -9 when no frame came in either try,
 *         -10 when the wait failed or a frame could not be converted. After -7 to -10 the stream
 *         is left on: release and initialise the camera again.
 */
TARSA_API int take_one_image(unsigned char *rgb);

/** Queues every buffer and starts the stream. @return 0; -1 when a queue request fails; -2
 *  when starting fails. */
TARSA_API int vx_captureStart(void);

/** Stops the stream. @return 0, or -1 when the request fails. */
TARSA_API int vx_captureStop(void);

/**
 * While streaming, waits (1 s at a time) for frames and converts three of them into `rgb`, the
 * last one staying; each 1-second wait that times out adds one frame to read. After the third
 * timed-out wait it stops: with 0 when a frame was converted meanwhile, else with -4.
 * @return 0; -4 when no frame came; -2 when a dequeue failed; -3 when a requeue failed; -5 when
 *         the wait failed or a frame could not be converted.
 */
TARSA_API int vx_frameRead(unsigned char *rgb);

/**
 * Converts one planar YUV 4:2:0 frame of the current size (Y plane, then U, then V, each chroma
 * plane a quarter of the Y plane) into packed RGB, exactly as
 * R = Y + 1.402 (V - 128), G = Y - 0.344 (U - 128) - 0.714 (V - 128), B = Y + 1.772 (U - 128)
 * in double precision, each clamped to 0..255 and truncated toward zero.
 * @return 0, or -1 when `yuv` or `rgb` is NULL.
 */
TARSA_API int imageProcess(const unsigned char *yuv, unsigned char *rgb);

/* Steps of vx_camera_init() and take_one_image(), exported for callers that drive the camera
   themselves. */

/** Opens VX_CAMERA_DEVICE non-blocking (a node still open is released first).
 *  @return 0; -1 when it cannot be looked up; -2 when it is no character device; -3 when it
 *  cannot be opened. */
TARSA_API int deviceOpen(void);

/** Checks the capabilities, sets the format at the module's size and maps the buffers.
 *  @return as vx_camera_init() from -3 to 3, and VX_CAMERA_EBUFFERS. */
TARSA_API int deviceInit(void);

/** Unmaps (or frees) the buffers; the camera is no longer set up.
 *  @return 0, or minus errno of a failed unmapping (the buffers after it stay held). */
TARSA_API int deviceUninit(void);

/** Asks the driver for 2 memory-mapped buffers and maps the ones granted.
 *  @return 0; 2 when fewer than 2 were granted; 3 when there is no memory for the table; -1
 *  when the driver refuses the request with EINVAL; minus errno otherwise. */
TARSA_API int mmapInit(void);

/** One non-blocking attempt: dequeues a frame, converts it into `rgb`, queues the buffer back.
 *  @return 0; -4 when no frame is ready; -2 when the dequeue fails; -5 when the frame cannot
 *  be converted (the buffer is not queued back); -3 when queuing back fails. A buffer index the
 *  driver should never give ends the process. */
TARSA_API int frameRead(unsigned char *rgb);

/** Buffer set-ups that the capture path does not use: one heap buffer of `size` bytes (-1: no
 *  table, -2: no memory); or 2 user-pointer buffers asked of the driver and 4 page-aligned
 *  blocks of `size` rounded up to whole pages (-1: EINVAL from the driver, minus errno
 *  otherwise, -2: no table, -3: no block). They replace the buffers held. @return 0 or as said. */
TARSA_API int readInit(unsigned int size);
TARSA_API int userptrInit(unsigned int size);

/**
 * Writes `rgb` (current size) to the file `filename` as a baseline JPEG of quality `quality`
 * (0 to 100), with libjpeg's default settings. The quality is kept for jpegWrite() even when
 * the image is refused; the file name is kept as the pointer given, not a copy.
 * @return 0; -1 when `quality` is above 100 (nothing kept); -2 when `rgb` is NULL; -3 when the
 *         file cannot be created or written, or libjpeg fails (a file that failed part-way is
 *         left as it is; the process goes on).
 */
TARSA_API int save_buffer_to_jpg(const char *filename, unsigned int quality,
                                 const unsigned char *rgb);

/** Results of vx_camera_encode_jpeg(). */
#define VX_CAMERA_ENCODE_BAD_QUALITY (-1) /**< `quality` outside 0 to 100 */
#define VX_CAMERA_ENCODE_NULL (-2)        /**< `rgb`, `jpeg` or `size` is NULL */
/** `width` or `height` not within 1 to 65500 (the largest side of a JPEG image), or a frame of
 *  width x height x 3 bytes larger than size_t can count */
#define VX_CAMERA_ENCODE_BAD_SIZE (-3)
#define VX_CAMERA_ENCODE_FAILED (-4) /**< no memory, or libjpeg failed otherwise */

/**
 * Compresses `rgb`, packed RGB of `width` x `height` pixels (width x height x 3 bytes, given
 * here: the module's frame size is not used), into memory, with the same engine and settings as
 * save_buffer_to_jpg(): for the module's current size and the same quality, the bytes are those
 * of the file it writes. Touches no state of the module and nothing shared: any thread may call
 * it at any time, also while another drives the camera.
 * On success *jpeg points to *size bytes allocated by the library and owned by the caller, who
 * gives them back with vx_camera_free_jpeg(). On any failure *jpeg is NULL and *size 0 (each
 * when not NULL itself), nothing is held, and a libjpeg error never ends the process.
 * @return 0, or VX_CAMERA_ENCODE_BAD_QUALITY, VX_CAMERA_ENCODE_NULL, VX_CAMERA_ENCODE_BAD_SIZE,
 *         VX_CAMERA_ENCODE_FAILED (tested in that order).
 */
TARSA_API int vx_camera_encode_jpeg(const unsigned char *rgb, int width, int height, int quality,
                                    unsigned char **jpeg, size_t *size);

/** Gives back the bytes of a vx_camera_encode_jpeg(); NULL is accepted and does nothing. */
TARSA_API void vx_camera_free_jpeg(unsigned char *jpeg);

/** Writes `rgb` with the file name and quality kept by the last save_buffer_to_jpg().
 *  @return 0, or -1 when there is no file name or image, or the file cannot be created or
 *  written. */
TARSA_API int jpegWrite(const unsigned char *rgb);

/** Rearranges a planar YUV 4:2:0 frame of width x height into packed Y, U, V bytes
 *  (width x height x 3). Does nothing when a size is 0 or less or a pointer is NULL. */
TARSA_API void YUV420toYUV444(int width, int height, const unsigned char *yuv420,
                              unsigned char *yuv444);

/**
 * Turns every pixel of `rgb` (current size) grey, in place: all three bytes become
 * (0.59 G + 0.3 R) + 0.11 B, computed in double precision in that order and truncated.
 * @return 0, or -1 when `rgb` is NULL.
 */
TARSA_API int into_greyscale(unsigned char *rgb);

/**
 * Filters the grey image `src` (its R bytes are read) into `dst` with two kernels of `size_y`
 * rows by `size_x` columns (row-major, top row first, centred on the pixel): each pixel becomes
 * 255 - (|sum kernel1 x src| + |sum kernel2 x src|), or 0 when that sum is above 255, in all
 * three bytes. A frame as wide as the half-window ((size_x - 1) / 2 columns left and right,
 * (size_y - 1) / 2 rows top and bottom; none for a 1 x 1 kernel) is set to 255. The sums are
 * exact whatever the kernel values. `dst` may be `src` itself: the result is the same.
 * With the gradient kernels -1 0 1 / -2 0 2 / -1 0 1 and -1 -2 -1 / 0 0 0 / 1 2 1, edges come out
 * dark on white.
 * @return 0 (nothing written when the width is 0); -1 when `src` is NULL; -2 when `dst` is
 *         NULL; -3 when `size_x` is not a positive odd number; -4 the same for `size_y`; -5
 *         when a kernel is NULL (tested in that order).
 */
TARSA_API int apply_filter(const unsigned char *src, unsigned char *dst, const int *kernel1,
                           const int *kernel2, int size_x, int size_y);

TARSA_END_DECLS

#endif
