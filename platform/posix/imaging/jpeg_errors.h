#pragma once
// libjpeg reports errors by calling a function that must not return. Ours jumps back to the step
// that called libjpeg and turns the error into an HRESULT. Every step runs through RunJpegStep,
// whose frame, like the step's own lambda, holds nothing with a destructor for the jump to skip.
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jerror.h>
#include <jpeglib.h>

#include "platform/posix/imaging/wic_standin.h"

namespace standin {

struct JpegErrorState {
    jpeg_error_mgr manager;  // first, so that libjpeg's pointer to it is a pointer to the state
    std::jmp_buf jump;
    HRESULT dataFailure = WINCODEC_ERR_BADIMAGE;  // what a libjpeg error stands for here
    HRESULT failure = S_OK;                       // set before every jump
};

// Installs the handlers on `info`: errors jump, warnings and traces are dropped (nothing is
// logged).
void InstallJpegErrors(jpeg_common_struct* info, JpegErrorState& state, HRESULT dataFailure);

// For callbacks that fail on their own account (a failed write): records `failure` and jumps.
[[noreturn]] void FailJpegStep(JpegErrorState& state, HRESULT failure);

template <typename Step>
HRESULT RunJpegStep(JpegErrorState& state, Step&& step) {
    if (setjmp(state.jump) != 0) return state.failure;
    step();
    return S_OK;
}

}  // namespace standin
