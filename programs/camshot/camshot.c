/* camshot: takes one frame from the camera and writes it as a JPEG file, optionally also its
   greyscale and edge images. */
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "program_usage.h"
#include "tarsa/vx_camera.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_init.h"

/* Exit statuses, one per kind of failure. */
enum { EXIT_USAGE = 2, EXIT_LIBRARY = 3, EXIT_SETUP = 4, EXIT_CAPTURE = 5, EXIT_WRITE = 6 };

static const int gradient_x[9] = {-1, 0, 1, -2, 0, 2, -1, 0, 1};
static const int gradient_y[9] = {-1, -2, -1, 0, 0, 0, 1, 2, 1};

/* A whole decimal number from `low` to `high`; -1 otherwise. */
static long number(const char *text, long low, long high) {
  char *end = NULL;
  errno = 0;
  const long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return -1;
  return v;
}

static const char *setup_failure(int r) {
  static char text[160];
  switch (r) {
    case -1:
      return VX_CAMERA_DEVICE " is not a video capture device";
    case -2:
      return VX_CAMERA_DEVICE " cannot capture video";
    case -3:
      return VX_CAMERA_DEVICE " cannot stream";
    case -4:
      return "cannot open " VX_CAMERA_DEVICE " (missing, not a device node, or no access)";
    case -5:
      return "cannot run media-pipes.sh: no shell could be started";
    case -6:
      return "media-pipes.sh failed: the media pipeline is not set up (is it on PATH?)";
    case -7:
      return "cannot run media-formats.sh: no shell could be started";
    case -8:
      return "media-formats.sh failed: the pipeline refused the frame size";
    case VX_CAMERA_EBUFFERS:
      return "the driver gave no usable capture buffers";
    default:
      snprintf(text, sizeof text, "the driver refused the set-up: %s", strerror(-r));
      return text;
  }
}

static const char *capture_failure(int r) {
  switch (r) {
    case -3:
      return "the stream could not be started";
    case -5:
      return "the stream could not be stopped";
    case -7:
      return "the driver gave no frame back";
    case -8:
      return "a buffer could not be given back to the driver";
    case -9:
      return "no frame came from the camera";
    case -10:
      return "waiting for a frame failed";
    default:
      return "the camera is not set up";
  }
}

static int write_jpeg(const char *file, int quality, const unsigned char *rgb) {
  errno = 0;
  if (save_buffer_to_jpg(file, (unsigned)quality, rgb) == 0) return 0;
  fprintf(stderr, "camshot: cannot write %s: %s\n", file,
          errno != 0 ? strerror(errno) : "JPEG error");
  return EXIT_WRITE;
}

/* What the command line asks for. */
struct settings {
  long width, height, quality;
  const char *out, *grey_out, *edges_out;
  /* The library's own options, passed on to vx_init in their order and in the forms that it and
     the bus bindings read. */
  char **library_args;
  int library_argc;
};

/* The options camshot reads itself, and the library's, which it hands on to vx_init. */
static const char short_options[] = "W:H:q:g:e:d:v";
static const struct option long_options[] = {
    {"width", required_argument, NULL, 'W'},   {"height", required_argument, NULL, 'H'},
    {"quality", required_argument, NULL, 'q'}, {"grey", required_argument, NULL, 'g'},
    {"edges", required_argument, NULL, 'e'},   {"debug", required_argument, NULL, 'd'},
    {"version", no_argument, NULL, 'v'},       {"i2c-device", required_argument, NULL, 'I'},
    {"i2c-scan", no_argument, NULL, 'S'},      {NULL, 0, NULL, 0}};

/* Reads the command line, already checked by vx_check_options, into `s`. Returns -1 to go on,
   else the exit status. */
static int parse_command_line(int argc, char *argv[], struct settings *s) {
  int c;
  s->library_args[s->library_argc++] = argv[0];
  while ((c = getopt_long(argc, argv, short_options, long_options, NULL)) != -1) {
    switch (c) {
      case 'W':
      case 'H': {
        const long v = number(optarg, 1, INT_MAX / 4);
        if (v < 0) {
          fprintf(stderr, "camshot: %s must be a positive whole number, not \"%s\"\n",
                  c == 'W' ? "the width" : "the height", optarg);
          return EXIT_USAGE;
        }
        *(c == 'W' ? &s->width : &s->height) = v;
        break;
      }
      case 'q':
        if ((s->quality = number(optarg, 0, 100)) < 0) {
          fprintf(stderr, "camshot: the quality must be 0 to 100, not \"%s\"\n", optarg);
          return EXIT_USAGE;
        }
        break;
      case 'g':
        s->grey_out = optarg;
        break;
      case 'e':
        s->edges_out = optarg;
        break;
      case 'd':
        s->library_args[s->library_argc++] = "-d";
        s->library_args[s->library_argc++] = optarg;
        break;
      case 'v':
        s->library_args[s->library_argc++] = "-v";
        break;
      case 'I':
        s->library_args[s->library_argc++] = "--i2c-device";
        s->library_args[s->library_argc++] = optarg;
        break;
      case 'S':
        s->library_args[s->library_argc++] = "--i2c-scan";
        break;
      default: /* not after vx_check_options */
        return EXIT_USAGE;
    }
  }
  if (optind < argc) s->out = argv[optind++];
  if (optind < argc) {
    fprintf(stderr, "camshot: one output file only (\"%s\" is one too many)\n", argv[optind]);
    return EXIT_USAGE;
  }
  return -1;
}

/* Starts the library and the camera, takes the frame and writes the files. */
static int shoot(const struct settings *s) {
  optind = 0; /* vx_init reads its options with getopt_long too */
  if (vx_init(s->library_argc, s->library_args) < 0) {
    fprintf(stderr, "camshot: the library did not start\n");
    return EXIT_LIBRARY;
  }

  int w = (int)s->width, h = (int)s->height;
  const int r = vx_camera_init(&w, &h);
  if (r < 0) {
    fprintf(stderr, "camshot: %s\n", setup_failure(r));
    vx_camera_release();
    return EXIT_SETUP;
  }
  if (r > 0)
    printf("camshot: the camera gives %d x %d, not %ld x %ld\n", w, h, s->width, s->height);

  const size_t bytes = (size_t)w * (size_t)h * 3;
  unsigned char *rgb = malloc(bytes), *work = malloc(bytes), *edges = malloc(bytes);
  int status = 0;
  if (rgb == NULL || work == NULL || edges == NULL) {
    fprintf(stderr, "camshot: no memory for a %d x %d frame\n", w, h);
    status = EXIT_CAPTURE;
  } else {
    const int taken = take_one_image(rgb);
    if (taken != 0) {
      fprintf(stderr, "camshot: %s\n", capture_failure(taken));
      status = EXIT_CAPTURE;
    }
  }
  if (status == 0) status = write_jpeg(s->out, (int)s->quality, rgb);
  if (status == 0 && (s->grey_out != NULL || s->edges_out != NULL)) {
    memcpy(work, rgb, bytes);
    into_greyscale(work);
    if (s->grey_out != NULL) status = write_jpeg(s->grey_out, (int)s->quality, work);
    if (status == 0 && s->edges_out != NULL) {
      apply_filter(work, edges, gradient_x, gradient_y, 3, 3);
      status = write_jpeg(s->edges_out, (int)s->quality, edges);
    }
  }
  if (status == 0) printf("camshot: wrote %s (%d x %d, quality %ld)\n", s->out, w, h, s->quality);

  vx_camera_release();
  free(rgb);
  free(work);
  free(edges);
  return status;
}

int main(int argc, char *argv[]) {
  const int checked = vx_check_options(argc, argv, program_usage, short_options, long_options);
  if (checked != VX_OPTIONS_OK) return checked;
  struct settings s = {VX_CAMERA_WIDTH, VX_CAMERA_HEIGHT, 70, "camshot.jpg", NULL, NULL, NULL, 0};
  s.library_args = calloc(2 * (size_t)argc + 1, sizeof *s.library_args);
  if (s.library_args == NULL) return EXIT_LIBRARY;
  vx_set_debug_level(2);
  int status = parse_command_line(argc, argv, &s);
  if (status < 0) status = shoot(&s);
  free(s.library_args);
  return status;
}
