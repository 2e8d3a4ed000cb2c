/* Marks the functions and variables that libtarsa exports; everything else stays hidden. */
#ifndef TARSA_EXPORT_H
#define TARSA_EXPORT_H

#if defined(__GNUC__)
#define TARSA_API __attribute__((visibility("default")))
#else
#define TARSA_API
#endif

#ifdef __cplusplus
#define TARSA_BEGIN_DECLS extern "C" {
#define TARSA_END_DECLS }
#else
#define TARSA_BEGIN_DECLS
#define TARSA_END_DECLS
#endif

#endif
