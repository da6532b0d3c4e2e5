' Modbus TCP client: the script builds each request behind its MBAP header,
' the driver's Ethernet link sends it and reads the answer, the script
' checks that the answer belongs to the request.
Const Unit = 1
Dim Transaction
Transaction = 0

' The frame of a request: MBAP header (transaction number, protocol 0, the
' count of the bytes that follow, unit), function code, two 16-bit numbers.
Function Request(code, first, second)
    Dim pdu
    pdu = QuillonLink.Concat(QuillonLink.Concat(Unit, code), _
          QuillonLink.Concat(QuillonLink.Int16Bytes(first), QuillonLink.Int16Bytes(second)))
    Transaction = (Transaction + 1) Mod 65536
    Request = QuillonLink.Concat(QuillonLink.Concat(QuillonLink.Int16Bytes(Transaction), "00 00"), _
              QuillonLink.Concat(QuillonLink.Int16Bytes(UBound(pdu) + 1), pdu))
End Function

' Sends a request and returns the whole answer. The header's length tells
' how many bytes follow it; an answer to another transaction, or an
' exception (function code + &H80), is raised as an error.
Function Ask(frame)
    Dim head, answer
    head = QuillonLink.Transact(frame, 8)
    If QuillonLink.GetUInt16(head, 0) <> Transaction Or QuillonLink.GetUInt16(head, 2) <> 0 Then
        Err.Raise vbObjectError + 1, "modbus-tcp", "answer to another request: " & QuillonLink.Hex(head)
    End If
    answer = QuillonLink.Concat(head, QuillonLink.Receive(QuillonLink.GetUInt16(head, 4) - 2))
    If head(7) >= &H80 Then
        Err.Raise vbObjectError + 2, "modbus-tcp", "exception " & answer(8) & " from unit " & head(6)
    End If
    Ask = answer
End Function

' Refuses the request with a trace line that says why.
Sub Refuse(Req, reason)
    Trace "register " & Req.N2 & ": " & reason
    Req.FailRequest
End Sub

Sub OnStart
    Trace "Modbus TCP client for unit " & Unit
End Sub

' Holding register N2.
Sub OnRead_Register(Req, Value)
    Dim answer
    On Error Resume Next
    answer = Ask(Request(3, Req.N2, 1))
    If Err.Number <> 0 Then
        Refuse Req, Err.Description
        Exit Sub
    End If
    Value.Value = QuillonLink.GetUInt16(answer, 9)
End Sub

' Size holding registers from N2 on, as a list.
Sub OnRead_Registers(Req, Value)
    Dim answer, i
    On Error Resume Next
    answer = Ask(Request(3, Req.N2, Req.Size))
    If Err.Number <> 0 Then
        Refuse Req, Err.Description
        Exit Sub
    End If
    For i = 0 To Req.Size - 1
        Value.AddToList QuillonLink.GetUInt16(answer, 9 + 2 * i)
    Next
End Sub

' Write single register (function 6); the answer repeats the request.
Sub OnWrite_Register(Req, Value)
    Dim answer
    On Error Resume Next
    answer = Ask(Request(6, Req.N2, Value.Value))
    If Err.Number <> 0 Then Refuse Req, Err.Description
End Sub

Sub OnStop
    Trace "Modbus TCP client stopped after " & Transaction & " requests"
End Sub
