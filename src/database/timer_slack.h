// How late the kernel may end this process's timed sleeps.
//
// A wait for busy connections is nearly always ended by a socket, and the
// item that it would otherwise wake up for does not have to go out to the
// millisecond.  Letting the kernel fold such a wake-up into its next tick
// spares it reprogramming the hardware timer twice per wait (to arm the
// time-out, then to drop it when a socket answers first), which on a
// virtual machine can cost more than the rest of the wait.  A nap until the
// next item is due, by contrast, has no socket to end it and should end on
// time.
#pragma once

// How late a wait for busy connections may end: one tick of a kernel that
// ticks 250 times a second, the common setting, so that a time-out never
// needs a timer interrupt of its own.
constexpr unsigned long late_wakeup_nanoseconds = 4000000;

// Lets timed sleeps end up to late_wakeup_nanoseconds late.
void allow_late_wakeups();
// Returns to the default: timed sleeps end on time.
void require_timely_wakeups();
