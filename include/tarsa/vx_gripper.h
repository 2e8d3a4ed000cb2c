/* Gripper accessory: register-level access to its arm module and its hand (gripper) module. */
#ifndef TARSA_VX_GRIPPER_H
#define TARSA_VX_GRIPPER_H

#include "tarsa/export.h"
#include "tarsa/lyn.h"

TARSA_BEGIN_DECLS

/**
 * @file
 * Each module is a device of the network layer, opened by the program with lyn_open() under its
 * configured name; the handle comes first in every function. The driver keeps no state.
 *
 * Single-register getters return the register value (0-255 or 0-65535), or the layer's negative
 * result when the read failed. Two-output getters fill the first output, then the second; a null
 * pointer skips its register and an output whose read failed is left untouched. Setters return
 * the layer's result of the write (negative on failure).
 */

/** Starts the library without options (vx_init(0, NULL)). Returns 1, or -1 after error 57. */
TARSA_API int vgripper_init(void);

/* ---- arm module ---- */
TARSA_API int vgripper_Arm_Get_Version(lyn_dev_t dev);  /**< register 48, 8 bits */
TARSA_API int vgripper_Arm_Get_Position(lyn_dev_t dev); /**< register 49, 16 bits */
TARSA_API int vgripper_Arm_Get_Speed(lyn_dev_t dev);    /**< register 51, 8 bits */
TARSA_API int vgripper_Arm_Get_Current(lyn_dev_t dev);  /**< register 52, 16 bits */
TARSA_API int vgripper_Arm_OnTarget(lyn_dev_t dev);     /**< register 54, 8 bits: 1 on target */
TARSA_API int vgripper_Arm_Get_Voltage(lyn_dev_t dev);  /**< register 55, 16 bits */
TARSA_API int vgripper_Arm_Get_Capacity(lyn_dev_t dev); /**< register 57, 8 bits */
/** Travel limits: `first` from register 60, `second` from register 58 (16 bits each). */
TARSA_API void vgripper_Arm_Get_Limits(lyn_dev_t dev, unsigned short *first,
                                       unsigned short *second);
TARSA_API int vgripper_Arm_Get_Order(lyn_dev_t dev);        /**< register 62, 16 bits */
TARSA_API int vgripper_Arm_Get_Max_Speed(lyn_dev_t dev);    /**< register 64, 8 bits */
TARSA_API int vgripper_Arm_Get_Search_Limit(lyn_dev_t dev); /**< register 65, 8 bits */
/** Sets the MSB-first order flags on the device, then writes `value` to register 62 (16 bits). */
TARSA_API int vgripper_Arm_Set_Order(lyn_dev_t dev, int value);
/** Writes register 64 with `value` clamped to 0-15 (any value not below 15 unsigned, negatives
 *  included, gives 15). */
TARSA_API int vgripper_Arm_Set_Max_Speed(lyn_dev_t dev, int value);
/** Writes register 65 with 1 when `value` is non-zero, else 0. */
TARSA_API int vgripper_Arm_Set_Search_Limit(lyn_dev_t dev, int value);

/* ---- gripper (hand) module ---- */
TARSA_API int vgripper_Gripper_Get_Version(lyn_dev_t dev);     /**< register 48, 8 bits */
TARSA_API int vgripper_Gripper_Get_Position(lyn_dev_t dev);    /**< register 49, 8 bits */
TARSA_API int vgripper_Gripper_Get_Order(lyn_dev_t dev);       /**< register 50, 8 bits */
TARSA_API int vgripper_Gripper_Get_Speed(lyn_dev_t dev);       /**< register 51, 8 bits */
TARSA_API int vgripper_Gripper_Get_Current(lyn_dev_t dev);     /**< register 52, 16 bits */
TARSA_API int vgripper_Gripper_Get_Torque(lyn_dev_t dev);      /**< register 54, 16 bits */
TARSA_API int vgripper_Gripper_Get_Resistivity(lyn_dev_t dev); /**< register 56, 16 bits */
/** Ambient infrared light: `first` from register 58, `second` from register 60. */
TARSA_API void vgripper_Gripper_Get_Ambiant_IR_Light(lyn_dev_t dev, unsigned short *first,
                                                     unsigned short *second);
/** Distance sensors: `first` from register 62, `second` from register 64. */
TARSA_API void vgripper_Gripper_Get_Distance_Sensors(lyn_dev_t dev, unsigned short *first,
                                                     unsigned short *second);
TARSA_API int vgripper_Gripper_Object_Detected(lyn_dev_t dev);  /**< register 66, 8 bits */
TARSA_API int vgripper_Gripper_OnTarget(lyn_dev_t dev);         /**< register 67, 8 bits */
TARSA_API int vgripper_Gripper_Get_Search_Limit(lyn_dev_t dev); /**< register 68, 8 bits */
TARSA_API int vgripper_Gripper_Get_Limits(lyn_dev_t dev);       /**< register 69, 8 bits */
/** Writes register 50 with the low byte of `value`, unclamped. */
TARSA_API int vgripper_Gripper_Set_Order(lyn_dev_t dev, int value);
/** Sets the MSB-first order flags on the device, then writes `value` to register 54 (16 bits). */
TARSA_API int vgripper_Gripper_Set_Torque(lyn_dev_t dev, int value);
/** Writes register 68 with 1 when `value` is non-zero, else 0. */
TARSA_API int vgripper_GripperSet_Search_Limit(lyn_dev_t dev, int value);

TARSA_END_DECLS

#endif
