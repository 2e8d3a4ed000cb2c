/* One owner of the robot: the claim a program takes before it touches the robot's hardware. */
#ifndef TARSA_TR4_CLAIM_H
#define TARSA_TR4_CLAIM_H

#include <stddef.h>

#include "tarsa/export.h"

TARSA_BEGIN_DECLS

/**
 * @file
 * A program that drives the robot claims it first, before vx_init() or tr4_init(): the claim is
 * an advisory lock on TR4_CLAIM_PATH that the kernel releases when the process ends, however it
 * ends, so that a crash never leaves it held. The file also names the holder (its program name
 * and process id) for a second claimant to report. Programs that only read a bus or a pin for
 * the bench need no claim and are not blocked by one.
 *
 * The claim belongs to the process; a child made by fork() does not hold it.
 */

/** Where the claim lives on the board. */
#define TR4_CLAIM_PATH "/run/lock/tarsa4.lock"

/** Results of tr4_claim(). */
#define TR4_CLAIM_TAKEN 0     /**< the robot is this process's (also when it held it already) */
#define TR4_CLAIM_BUSY (-16)  /**< another process holds it (-EBUSY); `holder` names it */
#define TR4_CLAIM_FAILED (-5) /**< the lock file cannot be opened or locked (-EIO); see errno */

/**
 * Claims the robot for this process, without waiting.
 * @param name        the program's name, recorded for a second claimant to report (NULL: the
 *                    process's own name)
 * @param holder      when the robot is in use, receives the holder as "NAME (pid N)"; may be NULL
 * @param holder_size size of `holder` in bytes
 * @return TR4_CLAIM_TAKEN, TR4_CLAIM_BUSY or TR4_CLAIM_FAILED.
 */
TARSA_API int tr4_claim(const char *name, char *holder, size_t holder_size);

/**
 * tr4_claim() for program `name`, saying on standard error why it was not taken: "NAME: the
 * robot is in use by HOLDER", or "NAME: cannot claim the robot: PATH: REASON".
 * @return what tr4_claim() returned.
 */
TARSA_API int tr4_claim_or_say(const char *name);

/** Gives the claim up (nothing happens when this process holds none). */
TARSA_API void tr4_unclaim(void);

TARSA_END_DECLS

#endif
