/* Depth processing for the 640x480 time-of-flight sensor: nine C functions
 * that turn one raw capture into depth (mm), amplitude and confidence planes.
 *
 * Raw layout (also in emulation/scene/vga_raw_layout.h): per modulation
 * frequency five blocks of (height + 1) rows, the four phase images and one
 * gray image, each led by one metadata row; one frequency in single mode
 * (5 x (height + 1) rows, unambiguous to 1250 mm), two in double mode
 * (10 x (height + 1) rows; 1500 mm and 1125 mm unwrapped together to
 * 4500 mm). Samples are 12-bit values in 16-bit little-endian words; phase
 * samples are offset binary around 2048, the gray image is the intensity.
 * SiSDKGetPhaseImage reads exactly width x rows samples for the size given to
 * SiSDKInit and the mode latched by SiSDKStart, never more. Word 1 of each
 * frequency's first metadata row names its unambiguous range in mm; a capture
 * whose words do not match the latched mode (compared above their low 4 bits,
 * which 8- and 10-bit transports lose) was taken in the other mode and is
 * refused (false, planes untouched).
 *
 * Calibration ("cali.bin" as handed over by the caller; little-endian):
 *   offset 0   4 bytes  magic "SIC1"
 *   offset 4   uint32   width, offset 8 uint32 height of the per-pixel table
 *   offset 12  float    phase offset of the single-mode frequency (radians)
 *   offset 16  float[2] phase offsets of the two double-mode frequencies
 *   offset 24  uint32   flags; bit 0: a per-pixel table follows
 *   offset 28  float[width x height] distance offset per pixel (mm)
 * Each measured phase has its frequency's offset subtracted; the per-pixel
 * offset is then subtracted from the distance (only when the table's size
 * matches the size given to SiSDKInit). The data is copied: the caller may
 * release it after the call. A null pointer means no calibration; data that is
 * too short or lacks the magic is ignored with one message on stderr.
 *
 * Configuration directory: SiSDKSetConfig reads "ConfigAlgorithm.json" in
 * that directory if it exists. From its [ConfidenceParams] section it takes
 * ValidDistMin and ValidDistMax (mm; defaults 0 and 7000) and MinAmplitude
 * (12-bit counts; default 0): pixels outside the distances or below the
 * amplitude get depth 0 and confidence 0.
 *
 * SiSDKInit forgets earlier calibration and configuration; the frequency mode
 * (single by default) survives it. SiSDKSetSingleFreq may be called at any
 * time; it takes effect at the next SiSDKStart, while SiSDKIsSingleFreq
 * reports the last requested mode at once. SiSDKGetPhaseImage may run on one
 * thread while another calls SiSDKSetSingleFreq or SiSDKIsSingleFreq; the
 * other calls must not overlap it.
 *
 * Outputs per pixel: depth in mm (0 where invalid), amplitude (12-bit counts,
 * the mean over the frequencies), confidence = amplitude / sqrt(gray + 1), 0
 * where invalid. A pixel with a phase sample at a clipping limit (1024 or
 * 3071) is saturated and invalid. */
#ifndef SI4C_H
#define SI4C_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* SiSDKHandle;

/* The library exports these nine functions and nothing else. */
#define SI4C_API __attribute__((visibility("default")))

/* True and *handle set when a handle was created. */
SI4C_API bool SiSDKCreate(SiSDKHandle* handle);
/* Sizes the processing for an output of width x height (1 to 4096 each). */
SI4C_API bool SiSDKInit(SiSDKHandle handle, int32_t width, int32_t height);
SI4C_API void SiSDKSetCaliData(SiSDKHandle handle, const void* data, uint32_t length);
SI4C_API void SiSDKSetConfig(SiSDKHandle handle, const char* directory);
/* False unless SiSDKInit succeeded since the handle was created. */
SI4C_API bool SiSDKStart(SiSDKHandle handle);
SI4C_API bool SiSDKIsSingleFreq(SiSDKHandle handle);
SI4C_API void SiSDKSetSingleFreq(SiSDKHandle handle, bool single);
/* False when not started, given a null pointer or a capture of the other
 * mode; planes untouched then. */
SI4C_API bool SiSDKGetPhaseImage(SiSDKHandle handle, const uint8_t* raw, float* depth,
                                 float* amplitude, float* confidence);
/* Frees *handle and sets it to null; a null *handle (already destroyed) or a
 * null address is accepted and does nothing. */
SI4C_API void SiSDKDestroy(SiSDKHandle* handle);

#ifdef __cplusplus
}
#endif

#endif /* SI4C_H */
