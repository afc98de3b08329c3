// Converter command: argument pass, settings record and conversion run.
#ifndef TARVO_CMD_H
#define TARVO_CMD_H
#endif
