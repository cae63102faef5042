/* Minimal C host: one second of a far-end tone whose echo reaches the microphone, processed
 * frame by frame through the library's C exports. Prints the echo level before and after. */
#include <math.h>
#include <stdio.h>

#include <orvoaec/orvoaec.h>

static const double kPi = 3.14159265358979;

int main(void) {
  short far[ORVOAEC_FRAME_SAMPLES], mic[ORVOAEC_FRAME_SAMPLES], out[ORVOAEC_FRAME_SAMPLES];
  double micPower = 0.0, outPower = 0.0;
  if (ORVOAEC_Create() == NULL) return 1;
  ORVOAEC_LoadConfig(); /* reads, or first writes, Documents/RereridEva/config.yml */
  for (int frame = 0; frame < 150; ++frame) {
    for (int i = 0; i < ORVOAEC_FRAME_SAMPLES; ++i) {
      const double t = (frame * ORVOAEC_FRAME_SAMPLES + i) / 48000.0;
      far[i] =
          (short)(8000.0 * sin(2.0 * kPi * 440.0 * t) * (0.6 + 0.4 * sin(2.0 * kPi * 3.0 * t)));
      mic[i] = (short)(far[i] / 4); /* the loudspeaker's echo, 12 dB down */
    }
    ORVOAEC_AddData(far);
    ORVOAEC_Process(mic, far, out, 0, 1, 1); /* mode 1: one microphone */
    for (int i = 0; frame >= 100 && i < ORVOAEC_FRAME_SAMPLES; ++i)
      micPower += (double)mic[i] * mic[i], outPower += (double)out[i] * out[i];
  }
  printf("echo %.1f dBFS, after processing %.1f dBFS, double talk %d\n",
         10 * log10(micPower / (50.0 * ORVOAEC_FRAME_SAMPLES) / (32768.0 * 32768.0) + 1e-12),
         10 * log10(outPower / (50.0 * ORVOAEC_FRAME_SAMPLES) / (32768.0 * 32768.0) + 1e-12),
         ORVOAEC_IsDoubleTalk());
  return outPower < micPower / 10 ? 0 : 1; /* at least 10 dB of echo removed */
}
