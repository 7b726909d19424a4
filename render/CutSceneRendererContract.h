#pragma once
// What the scene renderer asks of its effect "cutscenerenderer": the technique
// "CutSceneRenderer", its fifteen passes and its twenty-two variables with their kinds, in the
// order CutSceneRendererEffect looks them up. GL-free: the effect build step checks the effect
// file against it.

#include "render/toolkit/EffectContract.h"

namespace ostrel {

const gl::EffectContract& cutSceneRendererContract();

}  // namespace ostrel
