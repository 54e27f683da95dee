request_param('p') request_param('none') == null cookie('c') request_header('accept')
header_set('X-A: 1') header_add('X-B: 2') header_set('x-a: 3') header_get('X-A') ' ' header_get()
result_code(12) result_message('done') result_code() result_message()
output('x', 1, [1, 'y'], map(-a=1))
'\u00e9\n' "d\"q" 'tab\t' /* comment */ // line
