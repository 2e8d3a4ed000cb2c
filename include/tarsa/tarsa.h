/* Umbrella header: the whole public interface of libtarsa. */
#ifndef TARSA_TARSA_H
#define TARSA_TARSA_H

#include "tarsa/export.h"
#include "tarsa/vx_error.h"
#include "tarsa/vx_memory.h"
#include "tarsa/vx_time.h"
#include "tarsa/vx_utils.h"
#include "tarsa/vx_cmdparser.h"
#include "tarsa/vx_symbol.h"
#include "tarsa/vx_fifo.h"
#include "tarsa/lyn.h"

/* Headers of modules that may not be present in every tree yet. */
#if defined(__has_include)
#if __has_include("tarsa/vx_init.h")
#include "tarsa/vx_init.h"
#endif
#if __has_include("tarsa/vx_config.h")
#include "tarsa/vx_config.h"
#endif
#if __has_include("tarsa/vx_gpio.h")
#include "tarsa/vx_gpio.h"
#endif
#if __has_include("tarsa/vx_pwm.h")
#include "tarsa/vx_pwm.h"
#endif
#if __has_include("tarsa/i2craw.h")
#include "tarsa/i2craw.h"
#endif
#if __has_include("tarsa/lyn_i2c.h")
#include "tarsa/lyn_i2c.h"
#endif
#if __has_include("tarsa/lyn_rs232.h")
#include "tarsa/lyn_rs232.h"
#endif
#if __has_include("tarsa/vx_tarsa4.h")
#include "tarsa/vx_tarsa4.h"
#endif
#if __has_include("tarsa/vx_gripper.h")
#include "tarsa/vx_gripper.h"
#endif
#if __has_include("tarsa/vx_camera.h")
#include "tarsa/vx_camera.h"
#endif
#endif

#endif
