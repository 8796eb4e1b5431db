// The player's transport commands as seeks, rates and graph states; positions and the play
// range; window operations and stills.

#include <limits>

#include "platform/media/ext_device.h"
#include "toolkit/graph/still.h"
#include "toolkit/player/file_player.h"

namespace {

constexpr double kNormalRate = 1.0;
constexpr double kFastRate = 2.0;
constexpr LONG kSettleMilliseconds = 2000;

// The farthest frame a position may name either way: the time of one frame more (a stop
// position) still fits 64-bit 100-ns units at 25 frames a second, DV's longest frame. No file
// comes near it (29 000 years); beyond it a position is refused instead of overflowing.
constexpr std::int64_t kMaxPosition = std::numeric_limits<std::int64_t>::max() / 400000 - 1;

bool Addressable(std::int64_t position) {
    return position >= -kMaxPosition && position <= kMaxPosition;
}

}  // namespace

HRESULT CFilePlayer::Seek(std::int64_t current, std::int64_t last) {
    LONGLONG from = current, to = last + 1;
    return seeking_->SetPositions(&from, AM_SEEKING_AbsolutePositioning, &to,
                                  AM_SEEKING_AbsolutePositioning);
}

void CFilePlayer::Settle() {
    OAFilterState state = State_Paused;
    control_->GetState(kSettleMilliseconds, &state);
}

void CFilePlayer::PauseAndSettle() {
    control_->Pause();
    Settle();
}

std::int64_t CFilePlayer::Current() {
    LONGLONG position = 0;
    seeking_->GetCurrentPosition(&position);
    return position;
}

// Every command answers 1 once carried out, whatever the platform made of it.
int CFilePlayer::Control(int command) {
    if (!IsOpen()) return 0;
    switch (command) {
        case ED_MODE_PLAY:
            Seek(Current(), rangeLast_);
            seeking_->SetRate(kNormalRate);
            control_->Run();
            break;
        case ED_MODE_STOP:
            control_->Stop();
            Seek(rangeFirst_, rangeLast_);
            control_->Pause();
            break;
        case ED_MODE_FREEZE:
            control_->Pause();
            break;
        case ED_MODE_STEP_FWD:
        case ED_MODE_STEP_REV: {
            control_->Pause();
            std::int64_t target = Current() + (command == ED_MODE_STEP_FWD ? 1 : -1);
            Seek(target, target);
            control_->Pause();
            break;
        }
        case ED_MODE_PLAY_FASTEST_FWD:
        case ED_MODE_PLAY_FASTEST_REV:
            seeking_->SetRate(command == ED_MODE_PLAY_FASTEST_FWD ? kFastRate : -kFastRate);
            control_->Run();
            break;
        default:
            break;
    }
    return 1;
}

int CFilePlayer::GetCurrentPos(std::int64_t* position) {
    if (!IsOpen()) return 0;
    LONGLONG current = 0;
    if (!position || FAILED(seeking_->GetCurrentPosition(&current))) return 0;
    *position = current;
    return 1;
}

int CFilePlayer::SetCurrentPos(std::int64_t position) {
    if (!IsOpen() || !Addressable(position)) return 0;
    HRESULT hr = Seek(position, rangeLast_);
    Settle();
    return SUCCEEDED(hr) ? 1 : 0;
}

// Stored without a test of the file; it takes effect at the next play, stop, position or loop
// restart. Only positions beyond any file's reach are refused, and then nothing is stored.
int CFilePlayer::SetPlayRange(std::int64_t first, std::int64_t last) {
    if (!Addressable(first) || !Addressable(last)) return 0;
    rangeFirst_ = first;
    rangeLast_ = last;
    return 1;
}

int CFilePlayer::GetLength(std::int64_t* length) {
    if (!IsOpen()) return 0;
    if (length) *length = duration_;
    return 1;
}

int CFilePlayer::SetCallback(TovikWindow window, std::uint32_t message, int flags) {
    if (flags & 1) {
        notifyMessage_ = message;
        notifyWindow_ = window;
    }
    return 0;
}

int CFilePlayer::SetLoop(int loop) {
    if (!IsOpen()) return 0;
    loop_ = loop;
    return 1;
}

int CFilePlayer::ShowWindow(int windowState) {
    if (!videoWindow_) return 0;
    return SUCCEEDED(videoWindow_->put_WindowState(windowState)) ? 1 : 0;
}

int CFilePlayer::SetWindowRect(const TovikRect* rect) {
    if (!videoWindow_ || !rect) return 0;
    HRESULT hr = videoWindow_->SetWindowPosition(rect->left, rect->top, rect->right - rect->left,
                                                 rect->bottom - rect->top);
    return SUCCEEDED(hr) ? 1 : 0;
}

int CFilePlayer::SetWindowStyle(int which, int style) {
    if (!videoWindow_) return 0;
    HRESULT hr =
        which == 0 ? videoWindow_->put_WindowStyle(style) : videoWindow_->put_WindowStyleEx(style);
    return SUCCEEDED(hr) ? 1 : 0;
}

int CFilePlayer::GetOneShot(void* picture, int* out) {
    return tovik::GrabOneShot(grabber_.Get(), decoder_, static_cast<BYTE*>(picture), out);
}

int CFilePlayer::SaveBmp(const char* fileName) {
    return tovik::SaveStillBmp(grabber_.Get(), decoder_, fileName);
}
