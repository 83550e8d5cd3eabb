// The command `rating batch`.
#ifndef BATCHCOMMAND_H
#define BATCHCOMMAND_H

// argv[0] is "batch"; returns the exit code.
int batch_command(int argc, char **argv);

#endif
