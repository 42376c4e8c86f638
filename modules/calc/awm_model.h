// The lap and fuel model in the process: its partition hook, and the glue and the lap-function and
// fuel-channel functions that run in the model's rasters around its steps.
#pragma once

// Start-up, before the framework initialises the model partitions: makes "codegen_hookPartition_P1"
// findable and hooks, in the 1 ms, 10 ms and 100 ms rasters, the data glue and the lap function's
// requests before the model steps and the lap-function and fuel-channel publication after them.
// Registers the shell command "rs232_loopback" (the factory echo test). Once per process; gives the
// model its imports first (awm_model_connect).
void awm_model_ini();
// Gives the model its imports: the lap function's and the fuel-consumption channel's inputs, the lap
// function's event init, and the lap-trigger exchange's lap messages and lap time stamp. For those
// that step the model without the framework's partitions, before its first step.
void awm_model_connect();
