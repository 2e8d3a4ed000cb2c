/* Umbrella header: the whole public interface of libtarsa. */
#ifndef TARSA_TARSA_H
#define TARSA_TARSA_H

#include "tarsa/dvn.h"
#include "tarsa/export.h"
#include "tarsa/i2craw.h"
#include "tarsa/lyn.h"
#include "tarsa/lyn_i2c.h"
#include "tarsa/lyn_rs232.h"
#include "tarsa/plx.h"
#include "tarsa/tr4_claim.h"
#include "tarsa/tr4_model.h"
#include "tarsa/vx_camera.h"
#include "tarsa/vx_cmdparser.h"
#include "tarsa/vx_config.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_fifo.h"
#include "tarsa/vx_gpio.h"
#include "tarsa/vx_gripper.h"
#include "tarsa/vx_init.h"
#include "tarsa/vx_lrf.h"
#include "tarsa/vx_memory.h"
#include "tarsa/vx_pwm.h"
#include "tarsa/vx_stargazer.h"
#include "tarsa/vx_symbol.h"
#include "tarsa/vx_tarsa4.h"
#include "tarsa/vx_time.h"
#include "tarsa/vx_utils.h"

#endif
