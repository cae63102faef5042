/* ORVOAEC voice-processing library: the plain C interface.
 *
 * Every 20 ms the host hands one frame of microphone audio (one channel, or two interleaved
 * channels with mode 3) and one frame of far-end audio, 16-bit PCM at 48 kHz, 960 samples a
 * channel, and receives one processed 960-sample frame. The functions act on one engine that
 * the library holds; ORVOAEC_Create builds (or rebuilds) it. Calls must not overlap.
 */
#ifndef ORVOAEC_ORVOAEC_H
#define ORVOAEC_ORVOAEC_H

#if defined(_WIN32)
#if defined(ORVOAEC_BUILDING_LIBRARY)
#define ORVOAEC_API __declspec(dllexport)
#else
#define ORVOAEC_API __declspec(dllimport)
#endif
#define ORVOAEC_CALL __cdecl
#else
#if defined(ORVOAEC_BUILDING_LIBRARY)
#define ORVOAEC_API __attribute__((visibility("default")))
#else
#define ORVOAEC_API
#endif
#define ORVOAEC_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Samples a channel in one frame (20 ms at 48 kHz). */
#define ORVOAEC_FRAME_SAMPLES 960

/* Runs the whole chain over MicData.pcm, MicData2.pcm and RefData.pcm in the current directory
 * and writes Out.pcm. Replaces the current engine. Always returns 0. */
ORVOAEC_API int ORVOAEC_CALL startTest(void);

/* Builds a new engine with default settings, replacing any earlier one (whose handle becomes
 * invalid). Returns the engine record; it is only useful as a null test. */
ORVOAEC_API void* ORVOAEC_CALL ORVOAEC_Create(void);

/* Processes one frame.
 *   micPcm      mode 3: 1920 interleaved samples (channel 0, channel 1, ...); else 960 samples
 *   refPcm      960 far-end samples
 *   outPcm      receives 960 processed samples
 *   frameFlag   stored only; has no effect on the output
 *   mode        3 selects two-channel input; 1 and 3 also pick the input-gain channel and the
 *               microphone-choice variant
 *   duckerHold  0 makes a switch away from channel 0 wait 10 frames instead of the exit time
 * Returns the index of the microphone channel currently chosen. */
ORVOAEC_API int ORVOAEC_CALL ORVOAEC_Process(const short* micPcm, const short* refPcm,
                                             short* outPcm, unsigned char frameFlag, int mode,
                                             int duckerHold);

/* Stores one 960-sample far-end frame in the engine's far-end history. Always returns 0. */
ORVOAEC_API int ORVOAEC_CALL ORVOAEC_AddData(const short* farEnd);

/* 1 when the last processed frame was double talk, else 0. */
ORVOAEC_API int ORVOAEC_CALL ORVOAEC_IsDoubleTalk(void);

/* Checks for an engine; changes nothing. */
ORVOAEC_API void ORVOAEC_CALL ORVOAEC_SetDenoiseLevel(void);

/* Reads RereridEva/config.yml in the user's Documents folder and applies it to the engine;
 * writes a default file when it is missing. */
ORVOAEC_API void ORVOAEC_CALL ORVOAEC_LoadConfig(void);

#ifdef __cplusplus
}
#endif

#endif /* ORVOAEC_ORVOAEC_H */
