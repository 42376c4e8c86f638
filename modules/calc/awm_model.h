// The lap and fuel model in the process: its partition hook, and the glue and the lap-function and
// fuel-channel functions that run in the model's rasters around its steps.
#pragma once

// Start-up, before the framework initialises the model partitions: makes "codegen_hookPartition_P1"
// findable and hooks, in the 1 ms, 10 ms and 100 ms rasters, the data glue and the lap function's
// requests before the model steps and the lap-function and fuel-channel publication after them.
// Registers the shell command "rs232_loopback" (the factory echo test). Once per process.
void awm_model_ini();
