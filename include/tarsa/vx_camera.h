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

/** Success, for every call of the module that returns an int. */
#define VX_CAMERA_OK 0

/* Results of vx_camera_init(); deviceInit() gives those from -3 to 3 and VX_CAMERA_EBUFFERS.
   The positive ones are a success with a changed size, 3 being both bits. */
#define VX_CAMERA_INIT_WIDTH_CHANGED 1   /**< the driver changed the width */
#define VX_CAMERA_INIT_HEIGHT_CHANGED 2  /**< the driver changed the height */
#define VX_CAMERA_INIT_SIZE_CHANGED 3    /**< the driver changed both */
#define VX_CAMERA_INIT_NOT_VIDEO (-1)    /**< the node refuses the capability query (EINVAL) */
#define VX_CAMERA_INIT_NO_CAPTURE (-2)   /**< the node has no capture capability */
#define VX_CAMERA_INIT_NO_STREAMING (-3) /**< the node cannot stream */
/** The node is missing, no character device or cannot be opened; also a NULL size pointer. */
#define VX_CAMERA_INIT_NO_NODE (-4)
#define VX_CAMERA_INIT_PIPES_NOT_RUN (-5)   /**< the shell could not run "media-pipes.sh" */
#define VX_CAMERA_INIT_PIPES_FAILED (-6)    /**< "media-pipes.sh" ended with a non-zero status */
#define VX_CAMERA_INIT_FORMATS_NOT_RUN (-7) /**< the shell could not run "media-formats.sh" */
#define VX_CAMERA_INIT_FORMATS_FAILED (-8)  /**< "media-formats.sh" ended with a non-zero status */
/**
 * The capture buffers could not be set up (the driver refused or granted fewer than 2, a buffer
 * could not be queried or mapped, or is smaller than a frame, or no memory). Outside the range
 * of errno values.
 */
#define VX_CAMERA_EBUFFERS (-200)

/**
 * Sets up the media pipeline ("media-pipes.sh", then "media-formats.sh WIDTH HEIGHT", each run
 * through the shell), opens VX_CAMERA_DEVICE and asks for planar YUV 4:2:0 frames of
 * *width x *height pixels with 2 memory-mapped buffers. A camera still open from an earlier
 * call is released first.
 * @return VX_CAMERA_OK when the driver granted the size asked; VX_CAMERA_INIT_WIDTH_CHANGED,
 *         VX_CAMERA_INIT_HEIGHT_CHANGED or VX_CAMERA_INIT_SIZE_CHANGED when it changed it (the
 *         granted size is then written back to *width and *height and used from now on);
 *         VX_CAMERA_INIT_PIPES_NOT_RUN, VX_CAMERA_INIT_PIPES_FAILED,
 *         VX_CAMERA_INIT_FORMATS_NOT_RUN, VX_CAMERA_INIT_FORMATS_FAILED (a script killed by a
 *         signal counts as one that failed); VX_CAMERA_INIT_NO_NODE, at once for a NULL
 *         `width` or `height`; VX_CAMERA_INIT_NOT_VIDEO, VX_CAMERA_INIT_NO_CAPTURE,
 *         VX_CAMERA_INIT_NO_STREAMING; minus errno when the capability query or the format
 *         request fails otherwise; VX_CAMERA_EBUFFERS. After a failure past the open, the node
 *         stays open until vx_camera_release().
 */
TARSA_API int vx_camera_init(int *width, int *height);

/** Result of vx_camera_release(): closing failed, or no camera was open. */
#define VX_CAMERA_RELEASE_FAILED (-1)

/**
 * Unmaps the buffers and closes the node.
 * @return the result of closing: VX_CAMERA_OK, or VX_CAMERA_RELEASE_FAILED.
 */
TARSA_API int vx_camera_release(void);

/* Results of take_one_image(). */
#define VX_CAMERA_TAKE_NOT_OPEN (-1)       /**< `rgb` is NULL, or no camera is open */
#define VX_CAMERA_TAKE_NOT_SET_UP (-2)     /**< vx_camera_init() failed past the open */
#define VX_CAMERA_TAKE_START_FAILED (-3)   /**< queuing the buffers or starting failed */
#define VX_CAMERA_TAKE_STOP_FAILED (-5)    /**< stopping the stream failed */
#define VX_CAMERA_TAKE_DEQUEUE_FAILED (-7) /**< a dequeue failed */
#define VX_CAMERA_TAKE_REQUEUE_FAILED (-8) /**< a requeue failed */
#define VX_CAMERA_TAKE_NO_FRAME (-9)       /**< no frame came in either try */
/** The wait failed or a frame could not be converted. */
#define VX_CAMERA_TAKE_WAIT_FAILED (-10)

/**
 * Captures one frame into `rgb`: queues the buffers, starts the stream, reads frames (see
 * vx_frameRead()), stops the stream. When no frame came it prints "trying again..." and reads
 * once more.
 * @return VX_CAMERA_OK, or one of the VX_CAMERA_TAKE_ results above. After
 *         VX_CAMERA_TAKE_DEQUEUE_FAILED to VX_CAMERA_TAKE_WAIT_FAILED the stream is left on:
 *         release and initialise the camera again.
 */
TARSA_API int take_one_image(unsigned char *rgb);

/* Results of vx_captureStart(). */
#define VX_CAMERA_START_QUEUE_FAILED (-1)  /**< a queue request failed */
#define VX_CAMERA_START_STREAM_FAILED (-2) /**< starting the stream failed */

/** Queues every buffer and starts the stream. @return VX_CAMERA_OK,
 *  VX_CAMERA_START_QUEUE_FAILED or VX_CAMERA_START_STREAM_FAILED. */
TARSA_API int vx_captureStart(void);

/** Result of vx_captureStop(): the request failed. */
#define VX_CAMERA_STOP_FAILED (-1)

/** Stops the stream. @return VX_CAMERA_OK, or VX_CAMERA_STOP_FAILED. */
TARSA_API int vx_captureStop(void);

/* Results of vx_frameRead() and frameRead(). */
#define VX_CAMERA_READ_DEQUEUE_FAILED (-2) /**< a dequeue failed */
#define VX_CAMERA_READ_REQUEUE_FAILED (-3) /**< queuing a buffer back failed */
#define VX_CAMERA_READ_NO_FRAME (-4)       /**< no frame came (was ready, for frameRead()) */
/** A frame could not be converted; for vx_frameRead() also a failed wait. */
#define VX_CAMERA_READ_FAILED (-5)

/**
 * While streaming, waits (1 s at a time) for frames and converts three of them into `rgb`, the
 * last one staying; each 1-second wait that times out adds one frame to read. After the third
 * timed-out wait it stops: with VX_CAMERA_OK when a frame was converted meanwhile, else with
 * VX_CAMERA_READ_NO_FRAME.
 * @return VX_CAMERA_OK, or one of the VX_CAMERA_READ_ results above.
 */
TARSA_API int vx_frameRead(unsigned char *rgb);

/** Result of imageProcess(): `yuv` or `rgb` is NULL. */
#define VX_CAMERA_PROCESS_NULL (-1)

/**
 * Converts one planar YUV 4:2:0 frame of the current size (Y plane, then U, then V, each chroma
 * plane a quarter of the Y plane) into packed RGB, exactly as
 * R = Y + 1.402 (V - 128), G = Y - 0.344 (U - 128) - 0.714 (V - 128), B = Y + 1.772 (U - 128)
 * in double precision, each clamped to 0..255 and truncated toward zero.
 * @return VX_CAMERA_OK, or VX_CAMERA_PROCESS_NULL.
 */
TARSA_API int imageProcess(const unsigned char *yuv, unsigned char *rgb);

/* Steps of vx_camera_init() and take_one_image(), exported for callers that drive the camera
   themselves. */

/* Results of deviceOpen(). */
#define VX_CAMERA_OPEN_NO_NODE (-1)  /**< the node cannot be looked up */
#define VX_CAMERA_OPEN_NOT_CHAR (-2) /**< the node is no character device */
#define VX_CAMERA_OPEN_FAILED (-3)   /**< the node cannot be opened */

/** Opens VX_CAMERA_DEVICE non-blocking (a node still open is released first).
 *  @return VX_CAMERA_OK, or one of the VX_CAMERA_OPEN_ results above. */
TARSA_API int deviceOpen(void);

/** Checks the capabilities, sets the format at the module's size and maps the buffers.
 *  @return as vx_camera_init() from VX_CAMERA_INIT_NO_STREAMING to VX_CAMERA_INIT_SIZE_CHANGED,
 *  and VX_CAMERA_EBUFFERS. */
TARSA_API int deviceInit(void);

/** Unmaps (or frees) the buffers; the camera is no longer set up.
 *  @return VX_CAMERA_OK, or minus errno of a failed unmapping (the buffers after it stay held). */
TARSA_API int deviceUninit(void);

/* Results of mmapInit(). */
#define VX_CAMERA_MMAP_TOO_FEW 2    /**< the driver granted fewer than 2 buffers */
#define VX_CAMERA_MMAP_NO_TABLE 3   /**< no memory for the table of buffers */
#define VX_CAMERA_MMAP_REFUSED (-1) /**< the driver refused the request with EINVAL */

/** Asks the driver for 2 memory-mapped buffers and maps the ones granted.
 *  @return VX_CAMERA_OK; VX_CAMERA_MMAP_TOO_FEW; VX_CAMERA_MMAP_NO_TABLE;
 *  VX_CAMERA_MMAP_REFUSED; minus errno when a request or a mapping fails otherwise. */
TARSA_API int mmapInit(void);

/** One non-blocking attempt: dequeues a frame, converts it into `rgb`, queues the buffer back.
 *  @return VX_CAMERA_OK; VX_CAMERA_READ_NO_FRAME when no frame is ready;
 *  VX_CAMERA_READ_DEQUEUE_FAILED; VX_CAMERA_READ_FAILED when the frame cannot be converted (the
 *  buffer is not queued back); VX_CAMERA_READ_REQUEUE_FAILED. A buffer index the driver should
 *  never give ends the process. */
TARSA_API int frameRead(unsigned char *rgb);

/* Results of readInit(). */
#define VX_CAMERA_READINIT_NO_TABLE (-1)  /**< no memory for the table */
#define VX_CAMERA_READINIT_NO_MEMORY (-2) /**< no memory for the buffer */
/* Results of userptrInit(). */
#define VX_CAMERA_USERPTR_REFUSED (-1)  /**< the driver refused the request with EINVAL */
#define VX_CAMERA_USERPTR_NO_TABLE (-2) /**< no memory for the table */
#define VX_CAMERA_USERPTR_NO_BLOCK (-3) /**< no memory for a block */

/** Buffer set-ups that the capture path does not use: one heap buffer of `size` bytes; or 2
 *  user-pointer buffers asked of the driver and 4 page-aligned blocks of `size` rounded up to
 *  whole pages. They replace the buffers held.
 *  @return VX_CAMERA_OK, or one of the VX_CAMERA_READINIT_ / VX_CAMERA_USERPTR_ results above;
 *  userptrInit() also minus errno when the driver refuses the request otherwise. */
TARSA_API int readInit(unsigned int size);
TARSA_API int userptrInit(unsigned int size);

/* Results of save_buffer_to_jpg(). */
#define VX_CAMERA_SAVE_BAD_QUALITY (-1) /**< `quality` above 100: nothing kept */
#define VX_CAMERA_SAVE_NULL (-2)        /**< `rgb` is NULL (the quality is kept) */
/** The file cannot be created or written, or libjpeg failed: a file that failed part-way is left
 *  as it is, and the process goes on. */
#define VX_CAMERA_SAVE_FAILED (-3)

/**
 * Writes `rgb` (current size) to the file `filename` as a baseline JPEG of quality `quality`
 * (0 to 100), with libjpeg's default settings. The quality is kept for jpegWrite() even when
 * the image is refused; the file name is kept as the pointer given, not a copy.
 * @return VX_CAMERA_OK, or one of the VX_CAMERA_SAVE_ results above.
 */
TARSA_API int save_buffer_to_jpg(const char *filename, unsigned int quality,
                                 const unsigned char *rgb);

/* Results of vx_camera_encode_jpeg(). */
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
 * @return VX_CAMERA_OK, or one of the VX_CAMERA_ENCODE_ results above, tested in their order.
 */
TARSA_API int vx_camera_encode_jpeg(const unsigned char *rgb, int width, int height, int quality,
                                    unsigned char **jpeg, size_t *size);

/** Gives back the bytes of a vx_camera_encode_jpeg(); NULL is accepted and does nothing. */
TARSA_API void vx_camera_free_jpeg(unsigned char *jpeg);

/** Result of jpegWrite(): no file name or image, the file cannot be created or written, or
 *  libjpeg failed. */
#define VX_CAMERA_WRITE_FAILED (-1)

/** Writes `rgb` with the file name and quality kept by the last save_buffer_to_jpg().
 *  @return VX_CAMERA_OK, or VX_CAMERA_WRITE_FAILED. */
TARSA_API int jpegWrite(const unsigned char *rgb);

/** Rearranges a planar YUV 4:2:0 frame of width x height into packed Y, U, V bytes
 *  (width x height x 3). Does nothing when a size is 0 or less or a pointer is NULL. */
TARSA_API void YUV420toYUV444(int width, int height, const unsigned char *yuv420,
                              unsigned char *yuv444);

/** Result of into_greyscale(): `rgb` is NULL. */
#define VX_CAMERA_GREY_NULL (-1)

/**
 * Turns every pixel of `rgb` (current size) grey, in place: all three bytes become
 * (0.59 G + 0.3 R) + 0.11 B, computed in double precision in that order and truncated.
 * @return VX_CAMERA_OK, or VX_CAMERA_GREY_NULL.
 */
TARSA_API int into_greyscale(unsigned char *rgb);

/* Results of apply_filter(). */
#define VX_CAMERA_FILTER_NULL_SRC (-1)    /**< `src` is NULL */
#define VX_CAMERA_FILTER_NULL_DST (-2)    /**< `dst` is NULL */
#define VX_CAMERA_FILTER_BAD_SIZE_X (-3)  /**< `size_x` is not a positive odd number */
#define VX_CAMERA_FILTER_BAD_SIZE_Y (-4)  /**< `size_y` is not a positive odd number */
#define VX_CAMERA_FILTER_NULL_KERNEL (-5) /**< a kernel is NULL */

/**
 * Filters the grey image `src` (its R bytes are read) into `dst` with two kernels of `size_y`
 * rows by `size_x` columns (row-major, top row first, centred on the pixel): each pixel becomes
 * 255 - (|sum kernel1 x src| + |sum kernel2 x src|), or 0 when that sum is above 255, in all
 * three bytes. A frame as wide as the half-window ((size_x - 1) / 2 columns left and right,
 * (size_y - 1) / 2 rows top and bottom; none for a 1 x 1 kernel) is set to 255. The sums are
 * exact whatever the kernel values. `dst` may be `src` itself: the result is the same.
 * With the gradient kernels -1 0 1 / -2 0 2 / -1 0 1 and -1 -2 -1 / 0 0 0 / 1 2 1, edges come out
 * dark on white.
 * @return VX_CAMERA_OK (nothing written when the width is 0), or one of the VX_CAMERA_FILTER_
 *         results above, tested in their order.
 */
TARSA_API int apply_filter(const unsigned char *src, unsigned char *dst, const int *kernel1,
                           const int *kernel2, int size_x, int size_y);

TARSA_END_DECLS

#endif
