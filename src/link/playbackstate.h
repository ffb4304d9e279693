#pragma once
// Whether a shield's call audio is on: known where the playback switch lives (the audio layer),
// asked by the link control when a restart ends the calls in progress. Both live in the main
// thread, so the answer is read where it is kept.

#include <QtGlobal>

class PlaybackState
{
public:
    virtual ~PlaybackState() = default;

    // True between a start and a stop of the shield's playback.
    virtual bool isPlaying(quint8 shield) const = 0;
};
