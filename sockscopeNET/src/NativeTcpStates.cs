// SPDX-License-Identifier: MIT
using System.Net.NetworkInformation;

namespace sockscopeNET
{
    /// <summary>The kernel's TCP state numbers (enum sockscope_state) as .NET names them.</summary>
    internal static class NativeTcpStates
    {
        // States 0 to 12; SYN_RECV and NEW_SYN_RECV are both a connection
        // on its way to being accepted, CLOSE is Closed.
        private static readonly TcpState[] States =
        {
            TcpState.Unknown, TcpState.Established, TcpState.SynSent, TcpState.SynReceived, TcpState.FinWait1,
            TcpState.FinWait2, TcpState.TimeWait, TcpState.Closed, TcpState.CloseWait, TcpState.LastAck,
            TcpState.Listen, TcpState.Closing, TcpState.SynReceived,
        };

        internal static TcpState ToTcpState(byte state) => state < States.Length ? States[state] : TcpState.Unknown;
    }
}
