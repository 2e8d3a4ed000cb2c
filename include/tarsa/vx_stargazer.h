/* StarGazer localisation sensor on /dev/ttyO0: link, parameters, positions and calibration. */
#ifndef TARSA_VX_STARGAZER_H
#define TARSA_VX_STARGAZER_H

#include "tarsa/export.h"
#include "tarsa/lyn.h"

TARSA_BEGIN_DECLS

/**
 * @file
 * The sensor speaks framed ASCII messages, "~" ... "`", on its own serial port, which the module
 * opens and holds itself (one sensor per process, one thread). Every command is sent one byte
 * every 30 ms; the reply is whatever has arrived by the end of the pause after the last byte,
 * searched for the expected text. A reply that comes later stays queued and is seen by the next
 * exchange.
 *
 * Every operation returns -1 at once, without any I/O, while the port is not open (before
 * vx_stargazer_Init() and after vx_stargazer_Close()). Nothing is printed, except by
 * compute_ellipse() and vx_gazer_calibration() as documented.
 */

/* ---- link ---- */

/** Opens /dev/ttyO0 (115200 baud, 8N1, raw) and stops the sensor's computation, with up to ten
 *  attempts. An earlier port still open is closed first. @return 0; -2 the port cannot be
 *  opened; -3 the stop was never acknowledged (about 4.3 s; the port stays open). */
TARSA_API int vx_stargazer_Init(void);
/** Closes the port. @return the close call's result (0, or -1 on failure); -1 when not open. */
TARSA_API int vx_stargazer_Close(void);
/** One "CalcStop" exchange. @return 0 acknowledged, -2 not acknowledged, -1 not open. */
TARSA_API int vx_gazer_stop_computation(void);
/** Up to ten vx_gazer_stop_computation(), 100 ms apart after each failure.
 *  @return 0 at the first acknowledgement, else the last attempt's result. */
TARSA_API int vx_gazer_wait_stop_computation(void);
/** One "CalcStart" exchange; on success a further 200 ms pause before returning, so that the
 *  sensor runs when the caller starts reading. @return 0, -2 not acknowledged, -1 not open. */
TARSA_API int vx_gazer_start_computation(void);

/* ---- parameters ---- */

/** Names of the landmark types, modes and height fix modes as the sensor spells them, indexed
 *  by the codes the get and set operations use. */
#define VX_GAZER_LANDMARK_TYPES 6
#define VX_GAZER_LANDMARK_MODES 2
#define VX_GAZER_HEIGHT_FIX_MODES 2
TARSA_API extern const char *const vx_gazer_landmark_types[VX_GAZER_LANDMARK_TYPES];
TARSA_API extern const char *const vx_gazer_landmark_modes[VX_GAZER_LANDMARK_MODES];
TARSA_API extern const char *const vx_gazer_height_fix_modes[VX_GAZER_HEIGHT_FIX_MODES];

/** Size of a buffer that holds any version text vx_gazer_get_version() can return: the text is
 *  at most 2036 characters (what a 2048-byte reply holds between "~$Version|" and the backtick,
 *  before its terminating NUL), plus the NUL. */
#define VX_GAZER_VERSION_SIZE 2037

/** Reads the sensor's version text into `text`, which holds VX_GAZER_VERSION_SIZE bytes.
 *  @return 0; -3 no complete version reply (`text` untouched); -2 `text` is NULL. */
TARSA_API int vx_gazer_get_version(char *text);

/** Writes a parameter. The table-valued ones take a code of their table; a code past the
 *  table's end (a negative one included) gives -3 with nothing sent.
 *  @return 0 acknowledged, -2 not acknowledged, -3 bad code, -1 not open. */
TARSA_API int vx_gazer_set_landmark_number(int value);
TARSA_API int vx_gazer_set_ref_id(int value);
TARSA_API int vx_gazer_set_landmark_type(unsigned code);
TARSA_API int vx_gazer_set_landmark_mode(unsigned code);
TARSA_API int vx_gazer_set_height_fix_mode(unsigned code);

/** Reads an integer parameter into `*value`.
 *  @return 0; -2 no value in the reply or `value` NULL (`*value` untouched); -1 not open. */
TARSA_API int vx_gazer_get_landmark_number(int *value);
TARSA_API int vx_gazer_get_ref_id(int *value);

/** Reads a table-valued parameter into `*code`: the first name of the table, in code order, that
 *  the reply holds anywhere. @return 0; -2 no value reply or `code` NULL (`*code` untouched);
 *  -3 a value reply without any known name (`*code` set to 0); -1 not open. */
TARSA_API int vx_gazer_get_landmark_type(int *code);
TARSA_API int vx_gazer_get_landmark_mode(int *code);
TARSA_API int vx_gazer_get_height_fix_mode(int *code);

/** Stops the computation (as vx_gazer_wait_stop_computation()), then starts map mode.
 *  @return 0; -2 the stop failed (the map command is not sent); -4 map mode not acknowledged. */
TARSA_API int vx_gazer_start_map_mode(void);
/** Ends a series of parameter writes: "SetEnd", then after 3 s looks for the sensor's update
 *  report. @return 0; -2 not acknowledged (no wait); -3 no update report after 3 s. */
TARSA_API int vx_gazer_set_end_command(void);

/* ---- positions ---- */

/** Takes everything the sensor sent since the last call, without waiting, and reads the oldest
 *  position record in it: x, y and height as sent (centimetres), `angle` the heading in degrees,
 *  converted to the library's convention (counter-clockwise, 0 to 360), `id` the landmark and
 *  `mode` the record's mode character. With `correct` exactly 1, x and y lose the offset that
 *  the last calibration found for that heading. Outputs may be NULL when not wanted.
 *  @return
 *   - 0 a record was read; every output written;
 *   - 1 the sensor reported a parameter update;
 *   - the number of a map identifier report ("MAPID"), returned as it is (outputs untouched);
 *   - -1 the port is not open;
 *   - -3 2048 bytes or more were waiting, and again after the queue was flushed;
 *   - -5 a record with missing fields: the fields before the first missing one are written
 *        (the heading unconverted);
 *   - -6 the sensor sees no landmark ("DeadZone");
 *   - -7 the text is not one complete record (for example the last one still arriving);
 *   - -8 nothing was waiting;
 *   - -9 a map identifier report without a number. */
TARSA_API int vx_stargazer_read_data(double *x, double *y, double *height, double *angle, int *id,
                                     char *mode, int correct);

/* ---- positions, polled ----
 * vx_stargazer_poll() is the reader for a program that polls at its own rate (a robot loop at
 * 20 Hz, say) while the sensor streams about ten records a second. Unlike
 * vx_stargazer_read_data() it keeps what it has of a record that is still arriving until the
 * next call, passes over noise on the line, and gives the newest record of those that arrived. */

/** Results of vx_stargazer_poll(). Causes it shares with vx_stargazer_read_data() have the same
 *  numbers. */
#define VX_GAZER_POLL_POSITION 0       /**< a new record: `*out` holds it */
#define VX_GAZER_POLL_NOT_OPEN (-1)    /**< the port is not open; nothing read */
#define VX_GAZER_POLL_NO_OUTPUT (-2)   /**< `out` is NULL; nothing read */
#define VX_GAZER_POLL_READ_FAILED (-4) /**< reading the line failed (errno tells why) */
#define VX_GAZER_POLL_DEAD_ZONE (-6)   /**< the newest report: the sensor sees no landmark */
#define VX_GAZER_POLL_NOTHING_NEW (-8) /**< no record, no dead-zone report since the last call */

/** Longest message the reader assembles, from its tilde to its backtick: a tilde followed by more
 *  bytes than this without a backtick is passed over as noise. Records are about 40 bytes. */
#define VX_GAZER_POLL_MAX_MESSAGE 128

/** A position record as vx_stargazer_poll() gives it. */
typedef struct vx_stargazer_position {
  double x, y;   /**< position relative to the landmark in view, centimetres, as sent or
                      corrected (see `corrected`) */
  double height; /**< the landmark's height above the sensor, centimetres */
  double angle;  /**< heading, degrees, counter-clockwise, 0 to 360 (as vx_stargazer_read_data) */
  int id;        /**< the landmark in view */
  char mode;     /**< the record's mode character: 'I' landmark alone, 'M' map */
  int corrected; /**< 1: x and y lost the offset of the last calibration for this heading */
  unsigned dropped; /**< records and dead-zone reports of this call that a newer one replaced */
  unsigned skipped; /**< bytes this call passed over: noise between messages, malformed,
                         cut-off or over-long messages, and messages of other kinds
                         (acknowledgements, parameter replies, update and map reports) */
} vx_stargazer_position_t;

/**
 * Reads what the sensor sent since the last call, without waiting: it takes the bytes waiting on
 * the line (never more than were waiting when it began) and returns at once, so that the caller
 * sets the pace. A record that is still arriving is kept, and completed by the bytes of a later
 * call. Of the complete messages the newest position record or dead-zone report decides the
 * result; older ones are dropped (counted in `dropped`).
 *
 * A position record is "~^", a letter (the mode), the landmark as digits, then heading, x, y and
 * height, each after a "|", as decimal numbers (finite, a leading sign allowed), and a backtick;
 * anything else is passed over. The heading is converted as vx_stargazer_read_data() converts it;
 * with `correct` non-zero, x and y lose the same calibrated offset that it subtracts.
 *
 * On every result but -1 and -2, `dropped` and `skipped` are written; the other fields are written
 * on 0 only, so that they keep the last position otherwise.
 *
 * State: the record in progress lives in the library, one per process, and is dropped when the
 * port is opened or closed and whenever another operation of this module (a command,
 * vx_stargazer_read_data(), the calibration) reads the line. A lock lets one thread at a time
 * use it; calls from several threads are safe, but each record goes to one of them. The other
 * operations of this module are not locked: do not run them while another thread polls.
 *
 * @return one of VX_GAZER_POLL_POSITION, VX_GAZER_POLL_NOTHING_NEW, VX_GAZER_POLL_DEAD_ZONE,
 *         VX_GAZER_POLL_NOT_OPEN, VX_GAZER_POLL_NO_OUTPUT, VX_GAZER_POLL_READ_FAILED.
 */
TARSA_API int vx_stargazer_poll(vx_stargazer_position_t *out, int correct);

/* ---- matrix routines ----
 * Dense matrices of doubles, row-major with 1-based indices: element (i, j) of a matrix with
 * row stride s is at index i * s + j; row 0 and column 0 carry no data. A square matrix of
 * order n has stride n + 1 (order 6: 7 x 7 doubles). Vectors are 1-based, n + 1 doubles.
 * Storage belongs to the caller; nothing is allocated and nothing printed. */

/** One Jacobi rotation step on a(i, j) and a(k, l) of a matrix of order n. */
TARSA_API void rotate(double *a, int i, int j, int k, int l, double tau, double s, int n);
/** Eigenvalues d[1..n] (unsorted) and unit eigenvectors (columns of v) of the symmetric matrix a
 *  of order n (at most 6), by cyclic Jacobi rotations; destroys a's strict upper triangle.
 *  @return 0 converged; -1 not converged after 50 sweeps (d and v hold the last estimates);
 *  -2 order above 6 (nothing computed). */
TARSA_API int jacobi(double *a, int n, double *d, double *v, int *nrot);
/** Cholesky factor l (lower triangular) of the symmetric positive definite a of order n (at most
 *  6), from a's diagonal and upper triangle; writes the sub-diagonal values into a's lower
 *  triangle. @return 0; -1 not positive definite (l untouched); -2 order above 6. */
TARSA_API int choldc(double *a, int n, double *l);
/** Inverse of a (order at most 6) by Gauss-Jordan elimination with partial pivoting.
 *  @return 0; -1 singular (a pivot below 1e-19; inv untouched); -2 order above 6. */
TARSA_API int inverse(const double *a, double *inv, int n);
/** r = a x b, r = transpose(a) x b, r = a x transpose(b). Strides: AperB and A_TperB take
 *  cols_a + 1 for a and cols_b + 1 for b and r; AperB_T takes rows_a + 1 for a and b and
 *  cols_b + 1 for r. rows_b is not used. */
TARSA_API void AperB(const double *a, const double *b, double *r, int rows_a, int cols_a,
                     int rows_b, int cols_b);
TARSA_API void A_TperB(const double *a, const double *b, double *r, int rows_a, int cols_a,
                       int rows_b, int cols_b);
TARSA_API void AperB_T(const double *a, const double *b, double *r, int rows_a, int cols_a,
                       int rows_b, int cols_b);

/* ---- calibration ---- */

/** Most points compute_ellipse() fits. */
#define VX_GAZER_MAX_POINTS 2048

/** Ellipse that the last calibration fitted, 0 until then: centre and semi-axes in position
 *  units, orientation in degrees. vx_stargazer_read_data() corrects with the last three. */
TARSA_API extern double center_x0;
TARSA_API extern double center_y0;
TARSA_API extern double a_axis;
TARSA_API extern double b_axis;
TARSA_API extern double angle_rot;

/** Least-squares ellipse through the points (x[i], y[i]), i = 0 to n - 1: centre, orientation in
 *  degrees, and the semi-axes, the first along the orientation. Fewer than 6 points: 0 with
 *  nothing written. @return 0; -1 the points do not determine a conic (prints "ERROR inverting
 *  matrix L may be singular!"; nothing written); -2 more than VX_GAZER_MAX_POINTS points
 *  (nothing written). A degenerate fit gives 0 with values that are not numbers. */
TARSA_API int compute_ellipse(const double *x, const double *y, int n, double *x0, double *y0,
                              double *angle, double *axis_a, double *axis_b);

/** Turns the robot on the spot through one full turn (control mode 1, wheels at -40 and 40)
 *  while reading positions, fits an ellipse to them (kept in center_x0 ... angle_rot), and
 *  measures the residuals. `robot` is the robot base device, opened by the caller. The sensor
 *  must be computing. Prints a progress line on standard output. Outputs may be NULL.
 *  @return 0 done, both residuals 5.0 or less; -1 no full turn within 60 s; -3 the fit failed;
 *  -4 a residual above 5.0 or not a number (the fit is kept); r - 4 the first reading gave r
 *  (the robot did not move). The wheels are stopped on every return after they started. */
TARSA_API int vx_gazer_calibration(lyn_dev_t robot, double *x0, double *y0, double *angle,
                                   double *axis_a, double *axis_b, double *rms_x, double *rms_y);

/** Results of vx_gazer_calibrate(), one for each cause. */
#define VX_GAZER_CAL_DONE 0          /**< both residuals 5.0 or less */
#define VX_GAZER_CAL_NO_TURN (-1)    /**< no full turn within 60 s */
#define VX_GAZER_CAL_NO_START (-2)   /**< the first reading gave no position (see `first`) */
#define VX_GAZER_CAL_FIT_FAILED (-3) /**< no ellipse fits the positions */
#define VX_GAZER_CAL_POOR_FIT (-4)   /**< a residual above 5.0 or not a number (the fit is kept) */

/** The calibration of vx_gazer_calibration(), step for step, with results that keep every cause
 *  apart: where that one returns r - 4 for a first reading r, which can read like another of its
 *  results (r = 1, an update report, gives -3 like a failed fit), this one returns
 *  VX_GAZER_CAL_NO_START. `first` (may be NULL) gets the first reading's result, as
 *  vx_stargazer_read_data() returned it, on every return.
 *  @return one of the VX_GAZER_CAL_ results. */
TARSA_API int vx_gazer_calibrate(lyn_dev_t robot, double *x0, double *y0, double *angle,
                                 double *axis_a, double *axis_b, double *rms_x, double *rms_y,
                                 int *first);

TARSA_END_DECLS

#endif
