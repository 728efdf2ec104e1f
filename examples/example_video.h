/*
 * What video_source and frame_recorder agree on. The core routes events only
 * by their class bits and delivery keys; what a class or a flag means, and
 * what the data holds, is settled between plugins in a header like this one.
 */
#ifndef DVRCORE_EXAMPLES_EXAMPLE_VIDEO_H
#define DVRCORE_EXAMPLES_EXAMPLE_VIDEO_H

#include <stdint.h>

#include "events/events.h"

/* A frame event: class 1, queued (sourceId = the raiser's ID). Bit 24 marks a
 * class-1 event as video, which the core refuses with EVENT_THROTTLED while
 * memory is short; bit 8 is this pair's own "frame" flag. */
#define EXAMPLE_FRAME_TYPE  EVENT_CLASS1
#define EXAMPLE_FRAME_FLAGS 0x01000100u

/* Queued key of EXAMPLE_FRAME_FLAGS: bits 24-30 move up one place, so
 * 0x01000100 becomes 0x02000100. A receiver puts this into mask 1. */
#define EXAMPLE_FRAME_KEY 0x02000100u

/* The data of a frame event. */
typedef struct ExampleFrame {
    uint32_t sequence; /* 0 for the first frame, then counting up */
    uint16_t width;
    uint16_t height;
} ExampleFrame;

#endif /* DVRCORE_EXAMPLES_EXAMPLE_VIDEO_H */
