/*
 * C interface of the USB evaluation-kit capture library: open a kit, read its
 * image format, stream images and write sensor registers.
 *
 * Every function returns 0 on success and a negative QUORVAN_EVK_* status
 * otherwise. Images handed out by QuorvanCaptureImage stay valid until they
 * are given back, by value, to QuorvanFreeImage.
 */
#ifndef QUORVAN_EVK_SDK_H
#define QUORVAN_EVK_SDK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QUORVAN_EVK_API __attribute__((visibility("default")))
#else
#define QUORVAN_EVK_API
#endif

typedef struct QuorvanEvkCamera* QuorvanCameraHandle;

/* Statuses. */
#define QUORVAN_EVK_OK 0
#define QUORVAN_EVK_INVALID_ARGUMENT (-1)
#define QUORVAN_EVK_BAD_CONFIGURATION (-2)
#define QUORVAN_EVK_DEVICE_FAILURE (-3)
#define QUORVAN_EVK_NOT_STARTED (-4)
#define QUORVAN_EVK_TIMEOUT (-5)
#define QUORVAN_EVK_NO_BUFFER (-6)
#define QUORVAN_EVK_BAD_STATE (-7)

/* Open parameters; fill with QuorvanDefaultParam, then set what you need. */
typedef struct QuorvanOpenParam {
    const char* config_path; /* 0: configuration file, NULL or "" for the built-in kit */
    uint32_t buffer_count;   /* 8: images the caller may hold at once */
    uint32_t reserved0;      /* 12 */
    uint8_t binary_config;   /* 16: non-zero when config_path names a binary file */
    uint8_t reserved1[7];    /* 17 */
    uint64_t signature;      /* 24: set by QuorvanDefaultParam */
} QuorvanOpenParam;

/* Image format of an opened kit. */
typedef struct QuorvanCameraConfig {
    uint32_t width;         /* 0: pixels per row */
    uint32_t height;        /* 4: rows per image */
    uint8_t bits_per_pixel; /* 8: significant bits of a sample (8, 10, 12 or 16) */
    uint8_t reserved[7];    /* 9 */
} QuorvanCameraConfig;

/* One captured image. Samples of more than 8 bits take two bytes, little-endian. */
typedef struct QuorvanImage {
    uint64_t slot;      /* 0: library field: which buffer holds the data */
    uint64_t timestamp; /* 8: capture time in milliseconds */
    uint64_t sequence;  /* 16: library field: image counter since start */
    uint32_t size;      /* 24: bytes of data */
    uint32_t reserved0; /* 28 */
    uint8_t* data;      /* 32 */
    uint64_t owner;     /* 40: library field: the kit that handed the image out */
    uint64_t reserved1; /* 48: library field */
} QuorvanImage;

QUORVAN_EVK_API int QuorvanDefaultParam(QuorvanOpenParam* param);
QUORVAN_EVK_API int QuorvanOpenCamera(QuorvanCameraHandle* handle, const QuorvanOpenParam* param);
QUORVAN_EVK_API int QuorvanInitCamera(QuorvanCameraHandle handle);
QUORVAN_EVK_API int QuorvanGetCameraConfig(QuorvanCameraHandle handle, QuorvanCameraConfig* config);
QUORVAN_EVK_API int QuorvanStartCamera(QuorvanCameraHandle handle);
QUORVAN_EVK_API int QuorvanStopCamera(QuorvanCameraHandle handle);
QUORVAN_EVK_API int QuorvanCloseCamera(QuorvanCameraHandle handle);
/* Waits at most timeout_ms for the next image (negative: no limit). */
QUORVAN_EVK_API int QuorvanCaptureImage(QuorvanCameraHandle handle, QuorvanImage* image,
                                        int32_t timeout_ms);
QUORVAN_EVK_API int QuorvanFreeImage(QuorvanCameraHandle handle, QuorvanImage image);
QUORVAN_EVK_API int QuorvanWriteSensorReg(QuorvanCameraHandle handle, uint32_t address,
                                          uint32_t value);

#ifdef __cplusplus
} /* extern "C" */
#endif

/* The layout callers depend on. */
#ifdef __cplusplus
#define QUORVAN_EVK_STATIC_ASSERT static_assert
#else
#define QUORVAN_EVK_STATIC_ASSERT _Static_assert
#endif
QUORVAN_EVK_STATIC_ASSERT(sizeof(QuorvanOpenParam) == 32, "open parameters are 32 bytes");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanOpenParam, config_path) == 0, "path at 0");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanOpenParam, binary_config) == 16, "binary flag at 16");
QUORVAN_EVK_STATIC_ASSERT(sizeof(QuorvanCameraConfig) == 16, "camera config is 16 bytes");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanCameraConfig, width) == 0, "width at 0");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanCameraConfig, height) == 4, "height at 4");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanCameraConfig, bits_per_pixel) == 8, "bits at 8");
QUORVAN_EVK_STATIC_ASSERT(sizeof(QuorvanImage) == 56, "image record is 56 bytes");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanImage, slot) == 0, "library field at 0");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanImage, timestamp) == 8, "timestamp at 8");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanImage, sequence) == 16, "library field at 16");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanImage, size) == 24, "size at 24");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanImage, data) == 32, "data at 32");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanImage, owner) == 40, "library field at 40");
QUORVAN_EVK_STATIC_ASSERT(offsetof(QuorvanImage, reserved1) == 48, "library field at 48");

#endif /* QUORVAN_EVK_SDK_H */
