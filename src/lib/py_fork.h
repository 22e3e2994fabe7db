// What a child made by fork() inherits, and how it is made usable.
//
// A child has one thread, the one that called fork(). Two pieces of state
// describe threads of the parent and would be wrong in the child:
//  - borrow counters: borrows held by the parent's other threads would stay
//    counted for the child's whole life. The child sets every live object's
//    counter to the borrows its own thread holds (t_held_borrows).
//  - worker pools: oneTBB's workers and the batch helper threads do not exist
//    in the child, and their state (oneTBB's scheduler, a helper's mailbox)
//    may have been forked in the middle of an operation, so a child
//    of a parent that started its pools never touches them: its batches run on
//    the calling thread (as the reference libraries do). A child of a parent
//    that never started them builds pools as usual.
#pragma once

namespace quorvane::py {

struct TokenizerObject;

// Registers the fork handlers once per process (at module import).
void install_fork_handlers();

// Live objects, so that a child can reset their borrow counters.
void register_object(TokenizerObject* tok);
void unregister_object(TokenizerObject* tok);

// Called before the first use of the worker pools.
void note_pools_started();

// False in a child forked after the parent started its pools.
bool pools_usable();

}  // namespace quorvane::py
