// SPDX-License-Identifier: MIT

namespace sockscopeNET
{
    /// <summary>Whether a <see cref="ConnectionRecord"/> tells of a connection opening or closing.</summary>
    public enum ConnectionKind
    {
        /// <summary>
        /// The connection opened: connect() completed, accept returned it, or
        /// a socket started to listen. Only with
        /// <see cref="ConnectionWatchOptions.IncludeOpens"/>.
        /// </summary>
        Opened = 1,

        /// <summary>The connection closed: the record carries its whole life.</summary>
        Closed = 2,
    }

    /// <summary>How the socket of a <see cref="ConnectionRecord"/> came to be.</summary>
    public enum ConnectionSide
    {
        /// <summary>Open before the watch started, and not listening.</summary>
        Unknown = 0,

        /// <summary>This end called connect(): the client's.</summary>
        Connect = 1,

        /// <summary>A listener's accept returned it: the server's.</summary>
        Accept = 2,

        /// <summary>A listening socket.</summary>
        Listen = 3,
    }

    /// <summary>
    /// Where the owner of a <see cref="ConnectionRecord"/> was taken: only at
    /// a moment when the process doing it is the socket's owner for certain,
    /// never from whichever process the kernel happened to be running.
    /// </summary>
    public enum ConnectionOwnerSource
    {
        /// <summary>No owner is known.</summary>
        Unknown = 0,

        /// <summary>The process that called connect() (or sent with TCP fast open).</summary>
        Connect = 1,

        /// <summary>The process that called listen().</summary>
        Listen = 2,

        /// <summary>
        /// The process whose accept (or accept4) returned the socket, where the kernel lets a program run at
        /// its accept function's exit, or with <see cref="ConnectionWatchOptions.ExactAccepts"/>; io_uring's
        /// accepts are not seen there.
        /// </summary>
        Accept = 3,

        /// <summary>A socket open when the watch started: the process that held it then (the lowest id when several did).</summary>
        Snapshot = 4,

        /// <summary>A socket without an owner so far: the process whose call on the socket began its close.</summary>
        Close = 5,

        /// <summary>An accepted socket, elsewhere: the process whose send or receive call on it came first.</summary>
        FirstCall = 6,

        /// <summary>An accepted socket with no such call yet: the owner of the socket listening for it.</summary>
        Listener = 7,
    }

    /// <summary>How the connection of a <see cref="ConnectionRecord"/> ended.</summary>
    public enum ConnectionEnd
    {
        /// <summary>Not ended: an <see cref="ConnectionKind.Opened"/> record.</summary>
        Open = 0,

        /// <summary>Both sides' FIN, or a listener closed.</summary>
        Normal = 1,

        /// <summary>Aborted by this end: SO_LINGER 0, or unread data at close.</summary>
        ResetSent = 2,

        /// <summary>The peer reset it (ECONNRESET, EPIPE).</summary>
        ResetReceived = 3,

        /// <summary>The peer refused the connect.</summary>
        Refused = 4,

        /// <summary>A connect or retransmission timed out.</summary>
        TimedOut = 5,

        /// <summary>Another error: see <see cref="ConnectionRecord.Error"/>.</summary>
        Failed = 6,

        /// <summary>Closed while still connecting.</summary>
        Abandoned = 7,
    }
}
