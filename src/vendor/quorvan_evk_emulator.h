/*
 * Emulator-only additions beside the kit library's ten functions: what the
 * emulated bus has attached, who an open kit is, and a hook for tests to
 * unplug a kit and plug it back. The vendor's library has none of these; a
 * caller looks them up at run time and does without them when they are
 * missing.
 *
 * Every function returns 0 on success and a negative QUORVAN_EVK_* status.
 */
#ifndef QUORVAN_EVK_EMULATOR_H
#define QUORVAN_EVK_EMULATOR_H

#include <stdint.h>

#include "quorvan_evk_sdk.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QUORVAN_EVK_SERIAL_CAPACITY 32

/* One kit of the bus. */
typedef struct QuorvanEvkKitInfo {
    char serial[QUORVAN_EVK_SERIAL_CAPACITY]; /* 0: NUL-terminated */
    uint32_t index;                           /* 32: position in its configuration */
    uint32_t width;                           /* 36: image width in pixels */
    uint32_t height;                          /* 40: image height as the kit reports it */
    uint8_t attached;                         /* 44: non-zero while on the bus */
    uint8_t reserved[3];                      /* 45 */
} QuorvanEvkKitInfo;

/* The kits that `config_path` (NULL or "" for the built-in set) describes:
 * at most `capacity` records into `kits`, and their number into *count. */
QUORVAN_EVK_API int QuorvanEvkListKits(const char* config_path, QuorvanEvkKitInfo* kits,
                                       uint32_t capacity, uint32_t* count);
/* The serial of an open kit, NUL-terminated, into `serial`. */
QUORVAN_EVK_API int QuorvanEvkGetSerial(QuorvanCameraHandle handle, char* serial,
                                        uint32_t capacity);
/* Unplugs (attached 0) or plugs back (non-zero) the kit with `serial`.
 * Handles opened before an unplug stay dead; the kit has to be opened again. */
QUORVAN_EVK_API int QuorvanEvkSetAttached(const char* serial, int attached);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUORVAN_EVK_EMULATOR_H */
