# What no source states for Windows about a fake device and about the hosts
# that run the tool without a console, recorded by the hosted Windows jobs
# in Windows PowerShell 5.1, as the endpoints have it. With the package's
# shamrig.exe: one device is made; then what Get-PnpDevice and pnputil show
# of it; what PowerShell captures of `list` against the file route (cmd
# writes the bytes to a file, read back as UTF-8), at the job's own
# PowerShell, through remoting to this machine and as SYSTEM; and whether
# pnputil /remove-device takes the device away. Each answer is one line
# "host<TAB>fact<TAB>answer" of the answers file (escaped as the suite
# escapes its fields) and a line of this script's output. Nothing here
# fails the job: a step that breaks records what broke.
#   powershell -File scripts/windows-facts.ps1 -Exe shipped/shamrig.exe -Answers answers.tsv
param(
    [Parameter(Mandatory = $true)][string]$Exe,
    [Parameter(Mandatory = $true)][string]$Answers
)
$ErrorActionPreference = 'Stop'
$utf8 = New-Object System.Text.UTF8Encoding($false)
$Answers = [System.IO.Path]::GetFullPath($Answers)

function Get-Cell([string]$text) {
    return $text.Replace('\', '\\').Replace("`t", '\t').Replace("`r", '\r').Replace("`n", '\n')
}

function Write-Fact([string]$fact, [string]$answer) {
    [System.IO.File]::AppendAllText($Answers, "host`t$(Get-Cell $fact)`t$(Get-Cell $answer)`n", $utf8)
    Write-Output ('{0}: {1}' -f $fact, $answer)
}

# A fact whose step threw records the error instead.
function Invoke-Fact([string]$fact, [scriptblock]$step) {
    try {
        Write-Fact $fact ([string](& $step))
    } catch {
        Write-Fact $fact ('error: ' + $_.Exception.Message)
    }
}

# Text as one string with LF line ends and no line end after the last line.
function Get-Lines([string]$text) {
    return ($text -replace "`r`n", "`n").TrimEnd([char]10)
}

# A folder without spaces for the copy of the executable and the files the
# runs write, so that cmd's command lines need no quotes.
$dir = Join-Path $env:RUNNER_TEMP 'shamrig-facts'
New-Item -ItemType Directory -Force -Path $dir | Out-Null
Copy-Item -Path $Exe -Destination (Join-Path $dir 'shamrig.exe')
Set-Location $dir

# cmd writes the tool's bytes to the file unchanged; read back as UTF-8.
function Invoke-FileRoute([string]$word, [string]$file) {
    cmd.exe /d /c "shamrig.exe $word >$file"
    $status = $LASTEXITCODE
    $text = [System.IO.File]::ReadAllText((Join-Path $dir $file), $utf8)
    return @{ Status = $status; Text = (Get-Lines $text) }
}

Invoke-Fact 'PowerShell, architecture, [Console]::OutputEncoding' {
    '{0}, {1}, code page {2}' -f $PSVersionTable.PSVersion, $env:PROCESSOR_ARCHITECTURE, [Console]::OutputEncoding.CodePage
}

$created = Invoke-FileRoute 'create' 'create.txt'
$id = ''
if ($created.Text -match 'ROOT\\VELMORASTIXTEST\\[0-9]{4}') { $id = $Matches[0] }
Write-Fact 'create, through cmd into a file: exit status, instance ID' ('{0}, {1}' -f $created.Status, $id)
if ($id -eq '') {
    Write-Fact 'create printed' $created.Text
    exit 0
}

Invoke-Fact 'Get-PnpDevice -InstanceId: Class, ClassGuid, Status, Problem, ConfigManagerErrorCode, FriendlyName, Present' {
    $d = Get-PnpDevice -InstanceId $id
    '{0}, {1}, {2}, {3}, {4}, {5}, {6}' -f $d.Class, $d.ClassGuid, $d.Status, $d.Problem, $d.ConfigManagerErrorCode, $d.FriendlyName, $d.Present
}
Invoke-Fact 'Get-PnpDeviceProperty DEVPKEY_Device_ProblemCode' {
    (Get-PnpDeviceProperty -InstanceId $id -KeyName 'DEVPKEY_Device_ProblemCode').Data
}
Invoke-Fact "Get-PnpDevice -InstanceId 'ROOT\VELMORASTIXTEST\*': instance IDs" {
    (@(Get-PnpDevice -InstanceId 'ROOT\VELMORASTIXTEST\*') | ForEach-Object { $_.InstanceId }) -join ' '
}
# pnputil's exit status is the answer: what it says on standard error is
# part of its output, not a failure of the step.
Invoke-Fact 'pnputil /enum-devices /instanceid: exit status and output' {
    $ErrorActionPreference = 'Continue'
    $out = (pnputil.exe /enum-devices /instanceid $id 2>&1 | Out-String)
    '{0}: {1}' -f $LASTEXITCODE, $out.Trim()
}

# The same `list`, captured three ways at this PowerShell.
$file = Invoke-FileRoute 'list' 'list.txt'
Write-Fact 'list, through cmd into a file, read as UTF-8: exit status and text' ('{0}: {1}' -f $file.Status, $file.Text)
Invoke-Fact 'list, $out = & .\shamrig.exe list: the same text as the file route' {
    $out = (& .\shamrig.exe list) -join "`n"
    if ((Get-Lines $out) -ceq $file.Text) { 'yes' } else { 'no: ' + $out }
}
Invoke-Fact 'list, $out = & .\shamrig.exe list after [Console]::OutputEncoding = UTF-8: the same text' {
    $before = [Console]::OutputEncoding
    try {
        [Console]::OutputEncoding = $utf8
        $out = (& .\shamrig.exe list) -join "`n"
    } finally {
        [Console]::OutputEncoding = $before
    }
    if ((Get-Lines $out) -ceq $file.Text) { 'yes' } else { 'no: ' + $out }
}

# Remoting to this machine, where the runner lets it be enabled.
$remoting = $true
Invoke-Fact 'Enable-PSRemoting -Force -SkipNetworkProfileCheck' {
    try {
        Enable-PSRemoting -Force -SkipNetworkProfileCheck | Out-Null
        'enabled'
    } catch {
        $script:remoting = $false
        throw
    }
}
if ($remoting) {
    Invoke-Fact 'Invoke-Command -ComputerName localhost: [Console]::OutputEncoding there, and $out = & .\shamrig.exe list the same text as the file route' {
        $r = Invoke-Command -ComputerName localhost -ArgumentList $dir -ScriptBlock {
            param($where)
            Set-Location $where
            @{ Page = [Console]::OutputEncoding.CodePage; Out = (& .\shamrig.exe list) -join "`n" }
        }
        $same = if ((Get-Lines $r.Out) -ceq $file.Text) { 'yes' } else { 'no: ' + $r.Out }
        'code page {0}; {1}' -f $r.Page, $same
    }
    Invoke-Fact 'Invoke-Command -ComputerName localhost: [Console]::OutputEncoding = UTF-8 there' {
        Invoke-Command -ComputerName localhost -ArgumentList $dir -ScriptBlock {
            param($where)
            Set-Location $where
            [Console]::OutputEncoding = New-Object System.Text.UTF8Encoding($false)
            (& .\shamrig.exe list) -join "`n"
        } | ForEach-Object { if ((Get-Lines $_) -ceq $file.Text) { 'set; the same text' } else { 'set; no: ' + $_ } }
    }
    Invoke-Fact 'Invoke-Command -ComputerName localhost: cmd into a file there, read here as UTF-8, the same text' {
        Invoke-Command -ComputerName localhost -ArgumentList $dir -ScriptBlock {
            param($where)
            Set-Location $where
            cmd.exe /d /c 'shamrig.exe list >remote.txt'
        }
        $remote = Get-Lines ([System.IO.File]::ReadAllText((Join-Path $dir 'remote.txt'), $utf8))
        if ($remote -ceq $file.Text) { 'yes' } else { 'no: ' + $remote }
    }
}

# As SYSTEM, as Intune and Configuration Manager run scripts: a scheduled
# task, its output through cmd into a file.
Invoke-Fact 'as SYSTEM (a scheduled task), list through cmd into a file: the same text as the administrator''s' {
    $task = 'shamrig-facts'
    $action = New-ScheduledTaskAction -Execute 'cmd.exe' -Argument '/d /c "shamrig.exe list >system.txt"' -WorkingDirectory $dir
    $principal = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest
    Register-ScheduledTask -TaskName $task -Action $action -Principal $principal -Force | Out-Null
    try {
        Start-ScheduledTask -TaskName $task
        $ran = $false
        for ($i = 0; $i -lt 60; $i++) {
            Start-Sleep -Seconds 1
            if ((Get-ScheduledTask -TaskName $task).State -eq 'Ready' -and (Test-Path (Join-Path $dir 'system.txt'))) {
                $ran = $true
                break
            }
        }
        if (-not $ran) { throw 'the task did not finish within 60 s' }
        $system = Get-Lines ([System.IO.File]::ReadAllText((Join-Path $dir 'system.txt'), $utf8))
        if ($system -ceq $file.Text) { 'yes' } else { 'no: ' + $system }
    } finally {
        Unregister-ScheduledTask -TaskName $task -Confirm:$false
    }
}

Invoke-Fact 'pnputil /remove-device: exit status and output' {
    $ErrorActionPreference = 'Continue'
    $out = (pnputil.exe /remove-device $id 2>&1 | Out-String)
    '{0}: {1}' -f $LASTEXITCODE, $out.Trim()
}
Invoke-Fact 'after pnputil /remove-device, Get-PnpDevice -InstanceId' {
    $d = Get-PnpDevice -InstanceId $id -ErrorAction SilentlyContinue
    if ($null -eq $d) { 'gone' } else { 'still there: {0}, {1}' -f $d.Status, $d.Present }
}
Invoke-Fact 'after pnputil /remove-device, list through cmd into a file' {
    (Invoke-FileRoute 'list' 'after.txt').Text
}
exit 0
