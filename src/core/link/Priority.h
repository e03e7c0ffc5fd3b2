// Raising the priority around the write of a request in line mode 2, so that
// RTS is dropped without delay once the request has left. One saved pair only;
// the two calls are not nested.
#pragma once

// Saves the process's and the thread's priority and asks for real-time
// scheduling; where the system refuses, the normal priority silently stays.
void RaisePriority();
// Puts the saved priorities back: the thread's first, then the process's.
void RestorePriority();
