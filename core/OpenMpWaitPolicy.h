#pragma once
// OpenMP's idle worker threads sleep in every Ostrel program unless the user chooses otherwise.
//
// Each host-device kernel launch and each parallel loop of the optimizer is an OpenMP region.
// libgomp's default wait policy lets every worker spin for about 3 ms after a region before it
// sleeps; with other work on the machine the spinning takes the cores that work needs and
// slows both (the passive policy puts idle workers to sleep at once and costs nothing
// measurable on a quiet machine). libgomp reads the policy once, from the environment, when it
// is loaded, before main, and the C library's start-up restores the environment the process
// was started with, so nothing the program sets itself reaches it. Hence: every program linked
// with ostrel_core executes itself once more before any library initialises, with
// OMP_WAIT_POLICY=passive added to its environment, unless that environment already sets
// OMP_WAIT_POLICY or GOMP_SPINCOUNT (the user's choice stands). Once the libraries are
// initialised, the re-executed process removes what was added, so that the programs it starts
// see the user's environment. If the re-execution fails, the program runs on with libgomp's
// default policy.
//
// The build links this into every executable that links ostrel_core (a linker option of the
// library); a shared library must not link it.

namespace ostrel {

/// True when this process runs with the passive wait policy it added to its own environment.
bool passiveWaitAdded();

}  // namespace ostrel
