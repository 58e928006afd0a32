// Every QuorvanTOFCamera in the process, so that all streaming cameras can be
// stopped (their capture threads joined) before the process tears down the
// static state of the libraries those threads are still calling into. The
// extension module does this from the interpreter's exit hook; for native
// programs the first registration also installs an atexit handler.
#pragma once

namespace Quorvan {

class QuorvanTOFCamera;

class LiveCameras {
public:
    static void add(QuorvanTOFCamera* camera);
    // Waits while stopAll is stopping cameras, so a camera is never destroyed
    // under it.
    static void remove(QuorvanTOFCamera* camera);
    // Stops every streaming camera; the cameras stay open and usable.
    static void stopAll();
};

}  // namespace Quorvan
