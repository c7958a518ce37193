"""The NDX board's side of the boot protocols: BOOTP request and reply, TFTP read, RFC 868 time.

Used by the ndx-board-sim operator tool, the end-to-end tests and the demo.
"""
