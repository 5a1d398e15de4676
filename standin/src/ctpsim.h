// Test control interface of the stand-in trader library. Only the stand-in
// exports these functions; tests reach them through ctypes. The module under
// test never uses them. See ../README.md for the whole contract.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CTPSIM_EXPORT __attribute__((visibility("default")))

// Results of the control functions.
enum {
    CTPSIM_OK = 0,
    CTPSIM_NO_API = -1,        // no such API object, or it was released
    CTPSIM_NO_CALLBACK = -2,   // unknown callback name
    CTPSIM_BAD_SIZE = -3,      // record or info bytes of the wrong size
    CTPSIM_TIMED_OUT = -4,     // the callback did not finish within the timeout
    CTPSIM_NOT_STARTED = -5,   // Init has not been called yet
    CTPSIM_DROPPED = -6,       // Release stopped the thread before the callback ran
    CTPSIM_BAD_THREAD = -7,    // thread index out of range
    CTPSIM_NO_FRONT = -8,      // no such simulated front or instrument, or the API object reached none
    CTPSIM_BAD_VALUE = -9,     // a price off the tick grid or outside the price band; the
                               // connection already in the state asked for
    CTPSIM_NO_MEMORY = -10     // the library ran out of memory
};

// One call that the module made into the library, in call order.
struct ctpsim_call {
    int api;                   // serial of the API object (1, 2, ...); 0 for static calls
    char op[48];               // "CreateFtdcTraderApi", "RegisterSpi", "Init", "ReqOrderInsert", ...
    int gil;                   // 1: the calling thread held the Python interpreter lock,
                               // 0: it did not, -1: not inside a Python process
    int arg1;                  // RegisterSpi: 1 for an object, 0 for null; Subscribe*Topic: resume type;
                               // Req*: request id; CreateFtdcTraderApi: production flag;
                               // CreateFtdcMdApi: udp flag; (Un)SubscribeMarketData: count
    int arg2;                  // SubscribePrivateTopic: its length argument; CreateFtdcMdApi: multicast flag
    char text[256];            // Create*Api: flow path; RegisterFront: address;
                               // (Un)SubscribeMarketData: the ids, one a line
    size_t size;               // Req*: size of the record
    unsigned char record[1024];// Req*: byte copy of the record as received
};

// API objects of both libraries are named by one serial: 1 for the first the
// process created, 2 for the next, and so on.

// Serial of the newest API object (0 when none was created yet). Racy when
// other threads create objects; prefer ctpsim_api_of.
CTPSIM_EXPORT int ctpsim_last_api(void);

// Serial of the newest API object created with this flow path (0 if none).
CTPSIM_EXPORT int ctpsim_api_of(const char *flow_path);

// 1 while the API object exists and has not been released, else 0.
CTPSIM_EXPORT int ctpsim_alive(int api);

// Runs one callback on the library's thread `thread` (0 or 1) of `api`, as if
// the front had sent it, and waits up to timeout_ms for it to return.
// record/info: bytes of the callback's record and of its CThostFtdcRspInfoField,
// or null for a null pointer; sizes must match the record types exactly.
// OnRspError carries its CThostFtdcRspInfoField as the record, or as info when
// no record is given.
// id: request id; for OnFrontDisconnected the reason, for OnHeartBeatWarning
// the time lapse. last: the last flag (0 or 1).
// CTPSIM_TIMED_OUT: the callback had not returned in time; if it had not
// started by then it never runs (one already running finishes).
CTPSIM_EXPORT int ctpsim_emit(int api, int thread, const char *callback,
                              const void *record, size_t record_size,
                              const void *info, size_t info_size,
                              int id, int last, int timeout_ms);

// Runs the callback n times back to back on one library thread, with null
// record and info, id counting 0, 1, ..., n-1 and last true; waits up to
// timeout_ms for all of them. On a timeout the runs not yet started are cancelled.
CTPSIM_EXPORT int ctpsim_flood(int api, int thread, const char *callback, int n, int timeout_ms);

// Copies up to max logged calls into out (out may be null); returns the number logged.
// The log keeps the first 100,000 calls after a reset, and only while
// ctpsim_log_calls turned it on.
CTPSIM_EXPORT int ctpsim_calls(struct ctpsim_call *out, int max);

// Turns the call log on (1) or off (0). Off by default and after ctpsim_reset.
CTPSIM_EXPORT void ctpsim_log_calls(int enabled);

// Calls that reached an API object after its Release.
CTPSIM_EXPORT int ctpsim_violations(void);

// Clears the call log and the violation count, and undoes ctpsim_log_calls,
// ctpsim_throw_next, ctpsim_fail_next_create, ctpsim_fail_thread,
// ctpsim_force_result, ctpsim_set_version, ctpsim_set_request_delay and
// ctpsim_timing, and the simulated front's ctpsim_hold, ctpsim_query_interval
// and ctpsim_max_pending.
// Simulated fronts keep their state.
CTPSIM_EXPORT void ctpsim_reset(void);

// Makes the next CreateFtdcTraderApi return null.
CTPSIM_EXPORT void ctpsim_fail_next_create(void);

// The nth library thread started from now on (1: the next) fails to start,
// as when the system refuses a thread; 0 fails none. Init then starts no
// thread at all and leaves the object as it was before Init.
CTPSIM_EXPORT void ctpsim_fail_thread(int nth);

// While enabled, every Req* returns `value` (after logging the call).
CTPSIM_EXPORT void ctpsim_force_result(int enabled, int value);

// Text that GetApiVersion returns from now on (at most 255 bytes are kept).
CTPSIM_EXPORT void ctpsim_set_version(const char *text);

// Makes every Req* take this long (after logging it); a Req* whose object is
// released meanwhile counts as a violation.
CTPSIM_EXPORT void ctpsim_set_request_delay(int microseconds);

// Kinds of exception for ctpsim_throw_next.
enum {
    CTPSIM_THROW_RUNTIME = 0,    // std::runtime_error("<op> failed in the stand-in")
    CTPSIM_THROW_BAD_ALLOC = 1,  // std::bad_alloc
    CTPSIM_THROW_SYSTEM = 2,     // std::system_error (EAGAIN), as when a thread cannot start
    CTPSIM_THROW_OTHER = 3       // an int: no std::exception at all
};

// Makes the next call of the named operation ("CreateFtdcTraderApi",
// "GetApiVersion", "RegisterSpi", "SubscribePrivateTopic", "SubscribePublicTopic",
// "RegisterFront", "Init", "Release", "ReqOrderInsert", ...) throw an exception
// of the given kind, as a vendor library may. Init throws after its threads
// have started; Release before it does anything; the others before they
// have any effect (each call is still logged). Several operations may be armed
// at once; ctpsim_reset disarms them.
CTPSIM_EXPORT void ctpsim_throw_next(const char *op, int kind);

// Times every callback from now on, on every API object: when it started
// (CLOCK_MONOTONIC, in ns, as Python's time.monotonic_ns) and how long the
// callback took, for the first `capacity` callbacks after this call (at most
// 4,194,304; later ones are counted only). With count_switches, each also
// records what its thread went through while it ran: involuntary context
// switches (the scheduler preempted it), voluntary ones (it blocked) and
// minor page faults, from two getrusage calls per callback outside the timed
// span. A capacity of 0 stops timing.
CTPSIM_EXPORT void ctpsim_timing(int capacity, int count_switches);

// Copies up to max of the timed callbacks, in the order they were recorded,
// into the arrays given (any may be null; the counts are 0 when not
// counted); returns how many were timed since ctpsim_timing.
CTPSIM_EXPORT int ctpsim_timings(long long *begin_ns, long long *duration_ns, int *preempted, int *blocked,
                                 int *faults, int max);

// Like ctpsim_flood, with a copy of `record` (record_size bytes, which must
// match the callback's record type; null for a null record, as ctpsim_flood)
// as every callback's record. The callback
// may also be "ctpsim:floor": no callback at all, but a copy of the order
// record into a preallocated ring, the cheapest thing a client could do.
CTPSIM_EXPORT int ctpsim_flood_record(int api, int thread, const char *callback, const void *record,
                                      size_t record_size, int n, int timeout_ms);

// sizeof the named record type ("CThostFtdcOrderField", ...), 0 if unknown.
CTPSIM_EXPORT size_t ctpsim_sizeof(const char *record);

// ---- the simulated front (sim://NAME) ---------------------------------------
// `front` names a front that a session has reached: "NAME" or "sim://NAME".

// Sets an instrument's reference price: the simulated market quotes around it
// again at full depth, and resting orders that the new quotes cross trade.
CTPSIM_EXPORT int ctpsim_set_price(const char *front, const char *instrument, double price);

// The same, moving the reference price by `ticks` price ticks (0 refills the market).
CTPSIM_EXPORT int ctpsim_move_price(const char *front, const char *instrument, int ticks);

// Stores an instrument's reference price in *price.
CTPSIM_EXPORT int ctpsim_get_price(const char *front, const char *instrument, double *price);

// The front drops the API object's connection: OnFrontDisconnected(reason)
// follows, the session is logged out, and Req* returns -1 until ctpsim_reconnect.
CTPSIM_EXPORT int ctpsim_disconnect(int api, int reason);

// The front takes the API object back: OnFrontConnected follows, and the
// client must authenticate and log in again.
CTPSIM_EXPORT int ctpsim_reconnect(int api);

// While held (1), thread 0 of the API object runs no callback and they wait,
// as with a client that does not keep up; 0 lets it go on.
CTPSIM_EXPORT int ctpsim_hold(int api, int held);

// Shortest time between two queries of a logged-in session, in milliseconds
// (1000 by default; 0 lifts the limit). A query sent sooner returns -3.
CTPSIM_EXPORT void ctpsim_query_interval(int ms);

// Callbacks that may wait on an API object's thread 0 before Req* returns -2
// (10000 by default).
CTPSIM_EXPORT void ctpsim_max_pending(int count);

// The front warns the API object's session that its heartbeat is late:
// OnHeartBeatWarning(time_lapse) follows on thread 0, in order with the
// session's other callbacks. CTPSIM_BAD_VALUE while disconnected.
CTPSIM_EXPORT int ctpsim_heartbeat_warning(int api, int time_lapse);

// Sends a trading notice (OnRtnTradingNotice; `text` GB18030, at most 500
// bytes, else CTPSIM_BAD_VALUE) to every logged-in trading session of the
// broker and investor ("" or null: any), SequenceNo counting 1, 2, ... on
// the front.
CTPSIM_EXPORT int ctpsim_trading_notice(const char *front, const char *broker, const char *investor,
                                        const char *text);

// ---- the front's clock and trading day ---------------------------------------
// A front's clock reads the machine's local time until set. Times are civil
// (wall-clock) times, "YYYYMMDD HH:MM:SS" or "YYYYMMDD HH:MM:SS.mmm", with no
// time zone. Moving the clock makes at once, in time order, every status
// change and end of a trading day the front's calendar has by the new time.

// Sets the clock: it runs on from `time` at the machine's pace (or stands
// there, while frozen); null or "": the machine's time again.
// CTPSIM_BAD_VALUE for a malformed time.
CTPSIM_EXPORT int ctpsim_set_clock(const char *front, const char *time);

// Moves the clock forward by `milliseconds` (0 to 100 years).
CTPSIM_EXPORT int ctpsim_advance_clock(const char *front, long long milliseconds);

// 1: the clock stands at the time it shows; 0: it runs on from there.
CTPSIM_EXPORT int ctpsim_freeze_clock(const char *front, int frozen);

// Stores the clock's time in *milliseconds: civil milliseconds since
// 1970-01-01 00:00.
CTPSIM_EXPORT int ctpsim_get_clock(const char *front, long long *milliseconds);

// Ends the trading day now: waiting orders are cancelled, the day is settled
// (its statement made, today's positions become yesterday's at the last
// prices), the next weekday begins, and every trading session is
// dropped and taken back.
CTPSIM_EXPORT int ctpsim_settle(const char *front);

// Sets an instrument's status by hand ("0" to "6"; EnterReason manual)
// until the calendar's next status change of it: every logged-in trading
// session gets OnRtnInstrumentStatus; orders are taken only in "2",
// continuous trading. CTPSIM_BAD_VALUE for another status.
CTPSIM_EXPORT int ctpsim_set_status(const char *front, const char *instrument, const char *status);

// ---- the front's behaviour ------------------------------------------------------
// A front may do the legal things a real front does that an orderly one does
// not (standin/README.md, "Unruly fronts"): set one at a time, with the keys
// and values of a configuration file's [front] section ("fill_first",
// "query_batch", "drop", "down", ..., "unruly" with a seed or "off").
// CTPSIM_BAD_VALUE for an unknown key or a value out of its range. Sessions
// at a door that goes down are dropped at once.
CTPSIM_EXPORT int ctpsim_behave(const char *front, const char *key, const char *value);

// The unruly things the front did since its seed was last set, one a line,
// in order ("fill first", "drop after the replies 8193 0", ...): copies as
// much as fits into `out` (`size` bytes with the closing NUL) and returns the
// length of the whole text, or a CTPSIM_ error (< 0).
CTPSIM_EXPORT long long ctpsim_choices(const char *front, char *out, size_t size);

// ---- market data (thostmduserapi_se.so) --------------------------------------
// Market-data API objects take their serials from the same sequence as trader
// objects, log their calls in the same log ("CreateFtdcMdApi",
// "SubscribeMarketData" with arg1 the count and text the ids one a line, ...),
// and are addressed by the same controls: every function above that takes an
// API object takes either kind, with the callbacks of its own spi class
// (CThostFtdcMdSpi's "OnRtnDepthMarketData", ... for a market-data object).
// ctpsim_throw_next, ctpsim_force_result, ctpsim_set_request_delay,
// ctpsim_fail_next_create, ctpsim_fail_thread, ctpsim_set_version and
// ctpsim_timing apply to them as well.

// Moves an instrument's reference price by one tick up or down, chosen by a
// generator seeded with `seed`, `rate` times a second (1e-9 to 1,000,000), on
// a thread of the library's own, each step as ctpsim_move_price (turning back
// at the price band). A walk of the same instrument is replaced; a rate of 0
// stops it. ctpsim_reset stops every walk.
CTPSIM_EXPORT int ctpsim_walk(const char *front, const char *instrument, unsigned long long seed, double rate);

#ifdef __cplusplus
}
#endif
