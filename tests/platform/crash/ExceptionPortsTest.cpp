#include "platform/crash/ExceptionPorts.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ucontext.h>

#include <cstring>
#include <thread>

namespace {

using namespace crash;

TEST(ExceptionPortsTest, FaultsMapToExceptionsAndCodes) {
    struct Row {
        int signal;
        int code;
        long trap;
        int type;
        int64_t firstCode;
    };
    const Row rows[] = {
        {SIGSEGV, SEGV_MAPERR, 14, kExceptionBadAccess, 1},
        {SIGSEGV, SEGV_ACCERR, 14, kExceptionBadAccess, 2},
        {SIGBUS, BUS_ADRERR, 14, kExceptionBadAccess, 10},
        {SIGILL, ILL_ILLOPN, 6, kExceptionBadInstruction, 1},
        {SIGFPE, FPE_INTDIV, 0, kExceptionArithmetic, 1},
        {SIGFPE, FPE_INTOVF, 4, kExceptionArithmetic, 2},
        {SIGFPE, FPE_FLTDIV, 19, kExceptionArithmetic, 8},
        {SIGFPE, FPE_FLTDIV, 16, kExceptionArithmetic, 5},
        {SIGTRAP, TRAP_BRKPT, 3, kExceptionBreakpoint, 3},
        {SIGTRAP, TRAP_TRACE, 1, kExceptionBreakpoint, 1},
        {SIGABRT, SI_TKILL, 0, 0, 0},
    };
    for (const Row& row : rows) {
        siginfo_t info;
        std::memset(&info, 0, sizeof info);
        info.si_signo = row.signal;
        info.si_code = row.code;
        info.si_addr = reinterpret_cast<void*>(0x10);
        ucontext_t context;
        std::memset(&context, 0, sizeof context);
        context.uc_mcontext.gregs[REG_TRAPNO] = row.trap;
        FaultException exception = exceptionForFault(row.signal, &info, &context);
        EXPECT_EQ(exception.type, row.type) << row.signal << " " << row.code;
        if (row.type == 0) continue;
        EXPECT_EQ(exception.codeCount, 2u);
        EXPECT_EQ(exception.codes[0], row.firstCode) << row.signal << " " << row.code;
        if (row.type == kExceptionBadAccess) {
            EXPECT_EQ(exception.codes[1], 0x10);
        }
    }
}

TEST(ExceptionPortsTest, PortsCarryWholeMessagesAndRefuseLargeOnesWithoutLosingThem) {
    PortName port = allocatePort();
    ASSERT_NE(port, kPortNull);
    ExceptionRequest request{};
    request.exception = kExceptionBadAccess;
    request.codeCount = 2;
    request.codes[1] = 42;
    ASSERT_TRUE(sendMessage(port, &request, sizeof request));
    ExceptionReply small{};
    EXPECT_EQ(receiveMessage(port, &small, sizeof small), -2);
    ExceptionRequest received{};
    ASSERT_EQ(receiveMessage(port, &received, sizeof received), static_cast<long>(sizeof received));
    EXPECT_EQ(received.codes[1], 42);
    deallocatePort(port);
    EXPECT_FALSE(portIsValid(port));
    EXPECT_FALSE(sendMessage(port, &request, sizeof request));
}

TEST(ExceptionPortsTest, SwappingPortsHandsBackThePreviousOnesGrouped) {
    PortName first = allocatePort();
    PortName second = allocatePort();
    ASSERT_TRUE(setExceptionPorts(exceptionMask(1) | exceptionMask(3), first, kBehaviorDefault, kThreadStateNone));
    ASSERT_TRUE(setExceptionPorts(exceptionMask(6), second, kBehaviorDefault, 7));
    ExceptionPortEntry previous[14];
    uint32_t count = 0;
    uint32_t mask = exceptionMask(1) | exceptionMask(2) | exceptionMask(3) | exceptionMask(6);
    ASSERT_TRUE(swapExceptionPorts(mask, second, kBehaviorDefault | kBehaviorCodes64, kThreadStateNone, previous, 14,
                                   &count));
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(previous[0].mask, exceptionMask(1) | exceptionMask(3));
    EXPECT_EQ(previous[0].port, first);
    EXPECT_EQ(previous[1].mask, exceptionMask(6));
    EXPECT_EQ(previous[1].flavor, 7);
    EXPECT_EQ(exceptionPortFor(2), second);
    ASSERT_TRUE(setExceptionPorts(mask, kPortNull, 0, 0));
    EXPECT_EQ(exceptionPortFor(1), kPortNull);
    EXPECT_FALSE(setExceptionPorts(mask, 999, 0, 0));
    deallocatePort(first);
    deallocatePort(second);
}

}  // namespace
