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
  WRITE_RECORD_HELD,      // WriteOptions::holdRecord: the module is the right one; no record sent
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
  bool productTypeKnown;         // a well-formed product type reply arrived
  ProductTypeText productType;   // empty until then
  bool recordBuilt;              // the record below was built (and sent unless a write failed)
  StartupMessageRecord record;
};

// What a caller other than the dialog may ask of a sequence.
struct WriteOptions {
  // Everything up to the record (set-up mode, the product type, leaving
  // set-up mode, the boxes of a failure), never the record itself: what a
  // real press would meet, without changing the module.
  bool holdRecord;
  // Called once the module confirmed the record, while the port is still
  // open and claimed (before the outcome box, the restore and the close): a
  // record of what the module holds is written before anyone else can
  // reach it. Null: nothing to do.
  void (*confirmed)(void* context, const WriteResult& result);
  void* context;
  // Called once the exchange has ended, whatever its end, while the port is
  // still open and claimed (before the restore and the close), with the
  // result's outcome set: what the run came to is on disk before another run
  // can reach the port. Null: nothing to do.
  void (*concluded)(void* context, const WriteResult& result);
};

// Every outcome is shown to the operator through the front end's boxes.
// The dialog's sequence: replies land in the process-wide ReceiveBuffer.
WriteResult RunWriteSequence(FrontEnd* frontEnd, WriteAction action);

// The same with a receive buffer of the caller's (ReceiveBufferSize bytes),
// so that no two exchanges in one process can share one, and the caller's
// options (null: the dialog's press).
WriteResult RunWriteSequenceWithBuffer(FrontEnd* frontEnd, WriteAction action, BYTE* receiveBuffer,
                                       const WriteOptions* options);

// The record a press would send, built from the front end's fields as the
// sequence builds it (the factory default for FactoryDefault), with the same
// boxes and field changes for a cut row; no port is touched.
StartupMessageRecord BuildStartupRecord(FrontEnd* frontEnd, WriteAction action);

#endif  // VFD_WRITE_SEQUENCE_H
