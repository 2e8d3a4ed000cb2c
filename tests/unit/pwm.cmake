# PWM service, run against the simulated sysfs PWM chip.
tarsa_test(test_vx_pwm SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_vx_pwm.cpp SIM)
