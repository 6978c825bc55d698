// One press of "Write to VFD" or "Set to factory default", from reading the
// port field to the outcome box, with the port closed again at the end.
#ifndef VFD_WRITE_SEQUENCE_H
#define VFD_WRITE_SEQUENCE_H

#include "protocol/display_protocol.h"
#include "serial/serial_link.h"
#include "win_types.h"

struct FrontEnd;

enum WriteAction { WRITE_ACTION_WRITE, WRITE_ACTION_FACTORY_DEFAULT };

enum WriteOutcome {
  WRITE_NOTHING_RUN,      // no front end to read from
  WRITE_STORED,           // the module confirmed the record
  WRITE_NOT_CONFIRMED,    // it answered wrongly, not at all, or did not confirm
  WRITE_INCOMPATIBLE,     // a module of another product type
  WRITE_OPEN_FAILED,      // the port could not be opened or set up
  WRITE_IO_ERROR,         // a read or write failed during the exchange
};

// What a sequence did, beyond the boxes the operator saw.
struct WriteResult {
  WriteOutcome outcome;
  // WRITE_OPEN_FAILED: why (PORT_NOT_SERIAL when GetCommState refused the
  // device) and the platform's error code.
  PortFailure portFailure;
  DWORD portError;
  bool moduleAnswered;           // something came back to the enter command
  bool readFailed;               // WRITE_IO_ERROR: a read (else a write) failed
  ProductTypeText productType;   // empty until a well-formed reply arrived
  bool recordBuilt;              // the record below was built (and sent unless a write failed)
  StartupMessageRecord record;
};

// Every outcome is shown to the operator through the front end's boxes.
// The dialog's sequence: replies land in the process-wide ReceiveBuffer.
WriteResult RunWriteSequence(FrontEnd* frontEnd, WriteAction action);

// The same with a receive buffer of the caller's (ReceiveBufferSize bytes),
// so that no two exchanges in one process can share one.
WriteResult RunWriteSequenceWithBuffer(FrontEnd* frontEnd, WriteAction action, BYTE* receiveBuffer);

// The record a press would send, built from the front end's fields as the
// sequence builds it (the factory default for FactoryDefault), with the same
// boxes and field changes for a cut row; no port is touched.
StartupMessageRecord BuildStartupRecord(FrontEnd* frontEnd, WriteAction action);

#endif  // VFD_WRITE_SEQUENCE_H
