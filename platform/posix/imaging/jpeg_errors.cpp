#include "platform/posix/imaging/jpeg_errors.h"

namespace standin {
namespace {

void JumpOnError(j_common_ptr info) {
    auto* state = reinterpret_cast<JpegErrorState*>(info->err);
    state->failure =
        state->manager.msg_code == JERR_OUT_OF_MEMORY ? E_OUTOFMEMORY : state->dataFailure;
    std::longjmp(state->jump, 1);
}

void DropMessage(j_common_ptr info, int level) {
    if (level < 0) ++info->err->num_warnings;
}

void DropOutput(j_common_ptr /*info*/) {}

}  // namespace

void InstallJpegErrors(jpeg_common_struct* info, JpegErrorState& state, HRESULT dataFailure) {
    info->err = jpeg_std_error(&state.manager);
    state.manager.error_exit = JumpOnError;
    state.manager.emit_message = DropMessage;
    state.manager.output_message = DropOutput;
    state.dataFailure = dataFailure;
}

void FailJpegStep(JpegErrorState& state, HRESULT failure) {
    state.failure = failure;
    std::longjmp(state.jump, 1);
}

}  // namespace standin
