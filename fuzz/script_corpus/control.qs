var i = 0
while ($i < 5) { $i = $i + 1 if ($i == 2) { 'two' } else if ($i > 3) { 'big' } else { $i } }
repeat(3) => { loop_count() repeat(2) => { '.' } } loop_count()
try => { fail(1, 'in') } catch => { error_code() error_message() }
try => { try => { fail(1, 'in') } catch => { fail(2, error_message() + '!') } } catch => { error_code() error_message() }
protect => { 'x' fail(9, 'gone') 'y' } 'z'
later() define tag later() => { 'hoisted' }
global g = 'G' define tag f() => { var x = 'inner' $g = $g + $x } f() $g
