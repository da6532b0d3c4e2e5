// The one way a link thread works off its message queue. The link objects
// that live on that thread (the socket's window, the telephony library's
// notices) are served by dispatching; every wait of a link thread that must
// keep them served pumps through here.
//
// A quit message is taken off the queue and dropped: a link thread ends
// through Stop only, and a quit message left in the queue would end every
// later wait at once (a waiting loop would spin).
#pragma once

namespace quillon {

// Dispatches the messages waiting in the calling thread's queue, at most
// limit of them (0: all that are there). Returns how many were dispatched.
unsigned PumpMessages(unsigned limit = 0);

} // namespace quillon
