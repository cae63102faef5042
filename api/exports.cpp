// The seven C exports. They drive the library's one engine.
#define ORVOAEC_BUILDING_LIBRARY 1
#include "orvoaec/orvoaec.h"

#include "api/exported_engine.hpp"
#include "audio_core/audio_core.hpp"
#include "audio_core/engine_record.hpp"
#include "audio_core/engine_state.hpp"

using orvo::EngineState;

extern "C" {

ORVOAEC_API int ORVOAEC_CALL startTest(void) {
  return orvo::RunOfflineTest(orvo::ExportedEngine());
}

ORVOAEC_API void* ORVOAEC_CALL ORVOAEC_Create(void) {
  return orvo::AudioCore_Create(orvo::ExportedEngine());
}

ORVOAEC_API int ORVOAEC_CALL ORVOAEC_Process(const short* micPcm, const short* refPcm,
                                             short* outPcm, unsigned char frameFlag, int mode,
                                             int duckerHold) {
  EngineState& engine = orvo::ExportedEngine();
  const int channels = mode == 3 ? 2 : 1;
  orvo::OmbrixAudioCore_FrameProcess(engine, micPcm, refPcm, channels,
                                     channels * ORVOAEC_FRAME_SAMPLES, outPcm,
                                     frameFlag != 0 ? 8 : 0, mode == 3 ? 4 : 5, mode, duckerHold);
  if (engine.hRoomPro == nullptr) {
    engine.log.Printf("invalid audio call handle\n");
    return 0;
  }
  return engine.hRoomPro->choice.selection;
}

ORVOAEC_API int ORVOAEC_CALL ORVOAEC_AddData(const short* farEnd) {
  EngineState& engine = orvo::ExportedEngine();
  if (engine.hRoomPro == nullptr) {
    engine.log.Printf("AudioCore_Add_SpkData() FAILED: hRoomPro is NULL");
    return 0;
  }
  if (engine.hRoomPro->pCompen == nullptr) {
    engine.log.Printf("AudioCore_Add_SpkData() FAILED: pCompen is NULL");
    return 0;
  }
  if (farEnd == nullptr) {
    engine.log.Printf("AudioCore_Add_SpkData() FAILED: farEnd is NULL\n");
    return 0;
  }
  orvo::AudioCore_Add_SpkData(engine.hRoomPro->pCompen, farEnd);
  return 0;
}

ORVOAEC_API int ORVOAEC_CALL ORVOAEC_IsDoubleTalk(void) {
  const EngineState& engine = orvo::ExportedEngine();
  return engine.hRoomPro != nullptr ? engine.hRoomPro->doubleTalkFlag : 0;
}

ORVOAEC_API void ORVOAEC_CALL ORVOAEC_SetDenoiseLevel(void) {
  EngineState& engine = orvo::ExportedEngine();
  if (engine.hRoomPro == nullptr) engine.log.Printf("invalid audio call handle\n");
}

ORVOAEC_API void ORVOAEC_CALL ORVOAEC_LoadConfig(void) {
  orvo::LoadConfigFromDocuments(orvo::ExportedEngine());
}

}  // extern "C"
